#ifndef EVENTTABLES_H
#define EVENTTABLES_H

#include <QString>
#include <QStringList>

#include <array>

#include "eventmodel.h"

// The event tables in the store's fixed order, which also breaks ties of time and rowID.
using EventTable = EventKind;
constexpr int eventTableCount = int(eventKindCount);
const std::array<EventTable, eventTableCount>& eventTables();

// The index into eventTables() of a type as the sender names it, or -1.
int tableOfType(const QString& type);
// The columns a match may name: those of every table first, then each table's own, without repeats.
QStringList matchableColumns();
// The tables of the store that all readers expect, the eight event tables and the schema version.
QStringList requiredTables();

#endif
