#ifndef EVENTTABLES_H
#define EVENTTABLES_H

#include <QString>
#include <QStringList>

#include <array>

// One column of an event table besides rowID, time and sentToMasterDB.
struct EventColumn
{
    const char* name;
    // Stored as the signed 64-bit integer with the bits of an unsigned value.
    bool isUnsigned;
};

// One of the eight event tables, with the sender's name of its type.
struct EventTable
{
    const char* type;
    const char* table;
    std::array<EventColumn, 5> columns;
    int columnCount;
};

// The event tables in the store's fixed order, which also breaks ties of time and rowID.
constexpr int eventTableCount = 8;
const std::array<EventTable, eventTableCount>& eventTables();

// The index into eventTables() of a type as the sender names it, or -1.
int tableOfType(const QString& type);
// The sender's type names, in the sender's order, for messages and help.
QStringList senderTypeNames();
// The columns a match may name: those of every table first, then each table's own, without repeats.
QStringList matchableColumns();
// The tables of the store that all readers expect, the eight event tables and the schema version.
QStringList requiredTables();

#endif
