#ifndef DATABASEWRAPPER_H
#define DATABASEWRAPPER_H

#include "logmessage.pb.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

class ConfigSettings;

// Appends every payload of every event as one row of its table in the SQLite database
// held by Qt's default SQL connection.
class DataBaseWrapper : public QObject
{
    Q_OBJECT

public:
    // Opens the database at the configuration's path and creates the tables that are missing.
    DataBaseWrapper(const ConfigSettings& settings, QObject* parent);

    // True when the database is open and all nine tables exist.
    bool isReady() const;
    // Why the database is not ready; empty when it is.
    QString errorString() const;

public slots:
    void newLogEvent(LogEvent* event);
    void handleDumps(const CoreDump& msg);
    void handleReboots(const Reboot& msg);
    void handleWatchdogs(const WatchDog& msg);
    void handleJoinlayers(const JoinLayer& msg);
    void handleSpecfiles(const SpecfileUse& msg);
    void handleSystemloads(const SystemLoad& msg);
    void handleMachines(const MachineConfig& msg);
    void handleGeneric(const GenericLogMsg& msg);

private:
    // Column names, which are also the names of their placeholders, with the values to store.
    using Columns = QVector<QPair<QString, QVariant>>;

    void createTables();
    void insertRow(const QString& table, const Columns& columns);

    const ConfigSettings& m_settings;
    QString m_errorString;
};

#endif
