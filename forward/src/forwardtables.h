#ifndef FORWARDTABLES_H
#define FORWARDTABLES_H

#include <QString>
#include <QVector>

// One payload column of a local table and its name on the master.
struct ForwardColumn
{
    QString local;
    QString master;
    bool isInteger;
};

// One local table of events and the master table of the same name.
struct ForwardTable
{
    QString name;
    QVector<ForwardColumn> columns;
};

// The eight event tables in the store's fixed order.
const QVector<ForwardTable>& forwardTables();

#endif
