#include "eventtables.h"

const std::array<EventTable, eventTableCount>& eventTables()
{
    static const std::array<EventTable, eventTableCount> tables = {{
        {"machineconfig",
         "configuration",
         {{{"hardwareconf", false},
           {"linuxver", false},
           {"rpmsinstalled", false},
           {"tevrikversion", false},
           {"diskspace", false}}},
         5},
        {"coredump", "coredumps", {{{"taskname", false}}}, 1},
        {"reboot", "reboots", {{{"issuer", false}}}, 1},
        {"watchdog", "watchdog", {{{"triggeredBy", false}}}, 1},
        {"joinlayer", "joinlayer", {{{"taskName", false}}}, 1},
        {"specfile", "specfile", {{{"taskname", false}, {"specfile", false}}}, 2},
        {"sysload", "systemload", {{{"sysload", false}}}, 1},
        {"generic", "generic", {{{"recordNumber", true}, {"key", false}, {"value", false}}}, 3},
    }};
    return tables;
}

int tableOfType(const QString& type)
{
    for (int i = 0; i < eventTableCount; ++i) {
        if (type == QLatin1String(eventTables()[i].type))
            return i;
    }
    return -1;
}

QStringList senderTypeNames()
{
    return {QStringLiteral("coredump"), QStringLiteral("reboot"),  QStringLiteral("watchdog"),
            QStringLiteral("joinlayer"), QStringLiteral("specfile"), QStringLiteral("sysload"),
            QStringLiteral("machineconfig"), QStringLiteral("generic")};
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
