#include "forwardtables.h"

const QVector<ForwardTable>& forwardTables()
{
    static const QVector<ForwardTable> tables = {
        {QStringLiteral("configuration"),
         {{QStringLiteral("hardwareconf"), QStringLiteral("hardwareconf"), false},
          {QStringLiteral("linuxver"), QStringLiteral("linuxver"), false},
          {QStringLiteral("rpmsinstalled"), QStringLiteral("rpmsinstalled"), false},
          {QStringLiteral("tevrikversion"), QStringLiteral("tevrikversion"), false},
          {QStringLiteral("diskspace"), QStringLiteral("diskspace"), false}}},
        {QStringLiteral("coredumps"), {{QStringLiteral("taskname"), QStringLiteral("taskname"), false}}},
        {QStringLiteral("reboots"), {{QStringLiteral("issuer"), QStringLiteral("issuer"), false}}},
        {QStringLiteral("watchdog"), {{QStringLiteral("triggeredBy"), QStringLiteral("triggeredby"), false}}},
        {QStringLiteral("joinlayer"), {{QStringLiteral("taskName"), QStringLiteral("taskname"), false}}},
        {QStringLiteral("specfile"),
         {{QStringLiteral("taskname"), QStringLiteral("taskname"), false},
          {QStringLiteral("specfile"), QStringLiteral("specfile"), false}}},
        {QStringLiteral("systemload"), {{QStringLiteral("sysload"), QStringLiteral("sysload"), false}}},
        {QStringLiteral("generic"),
         {{QStringLiteral("recordNumber"), QStringLiteral("recordnumber"), true},
          {QStringLiteral("key"), QStringLiteral("key"), false},
          {QStringLiteral("value"), QStringLiteral("value"), false}}},
    };
    return tables;
}
