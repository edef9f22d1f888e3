#include "eventtables.h"

const std::array<EventTable, eventTableCount>& eventTables()
{
    return eventKinds();
}

int tableOfType(const QString& type)
{
    for (int i = 0; i < eventTableCount; ++i) {
        if (type == QLatin1String(eventTables()[i].type))
            return i;
    }
    return -1;
}

QStringList matchableColumns()
{
    QStringList columns{QStringLiteral("time"), QStringLiteral("rowID"), QStringLiteral("sentToMasterDB")};
    for (const EventTable& table : eventTables()) {
        for (int c = 0; c < table.columnCount; ++c) {
            const QString name = QLatin1String(table.columns[c].name);
            if (!columns.contains(name))
                columns << name;
        }
    }
    return columns;
}

QStringList requiredTables()
{
    QStringList tables{QStringLiteral("schemaver")};
    for (const EventTable& table : eventTables())
        tables << QLatin1String(table.table);
    return tables;
}
