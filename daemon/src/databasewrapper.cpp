#include "databasewrapper.h"

#include "configsettings.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace {

const char* const createStatements[] = {
    "CREATE TABLE IF NOT EXISTS schemaver    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS coredumps    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "taskname     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS reboots      (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "issuer       TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS watchdog     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "triggeredBy  TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS joinlayer    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "taskName     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS systemload   (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "sysload      TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS specfile     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "taskname     TEXT NOT NULL, specfile TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS configuration(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "hardwareconf TEXT NOT NULL, linuxver TEXT NOT NULL, rpmsinstalled TEXT NOT NULL, tevrikversion TEXT NOT NULL, "
    "diskspace TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS generic(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "recordNumber INTEGER NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, "
    "sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
};

QVariant number(quint64 value)
{
    return QVariant(static_cast<qulonglong>(value));
}

QVariant text(const std::string& value)
{
    return QVariant(QString::fromStdString(value));
}

void reportStatement(const QSqlQuery& query)
{
    const QSqlError error = query.lastError();
    qDebug() << error.driverText() << error.databaseText() << query.executedQuery();
}

} // namespace

DataBaseWrapper::DataBaseWrapper(const ConfigSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setHostName(QStringLiteral("localhost"));
    db.setDatabaseName(m_settings.getDBPath());
    if (!db.open())
        m_errorString = db.lastError().text();
    createTables();
}

bool DataBaseWrapper::isReady() const
{
    return m_errorString.isEmpty();
}

QString DataBaseWrapper::errorString() const
{
    return m_errorString;
}

void DataBaseWrapper::createTables()
{
    QSqlQuery query;
    for (const char* statement : createStatements) {
        const bool created = query.exec(QString::fromLatin1(statement));
        reportStatement(query);
        if (!created && m_errorString.isEmpty())
            m_errorString = query.lastError().text();
    }
}

void DataBaseWrapper::insertRow(const QString& table, const Columns& columns)
{
    QStringList names;
    QStringList placeholders;
    for (const auto& column : columns) {
        names << column.first;
        placeholders << QLatin1Char(':') + column.first;
    }

    QSqlQuery query;
    // Executing a statement that failed to prepare would only hide the cause behind a binding error.
    bool stored = query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                    .arg(table, names.join(QStringLiteral(", ")),
                                         placeholders.join(QStringLiteral(", "))));
    if (stored) {
        for (int i = 0; i < columns.size(); ++i)
            query.bindValue(placeholders.at(i), columns.at(i).second, QSql::In);
        stored = query.exec();
    }
    reportStatement(query);
    if (!stored) {
        // A closed database fails statements without an error of their own; its opening error says why.
        const QString error = query.lastError().isValid() ? query.lastError().text() : m_errorString;
        qCritical() << QStringLiteral("Failed to store a row in table %1: %2").arg(table, error);
    }
}

void DataBaseWrapper::newLogEvent(LogEvent* event)
{
    if (event->has_machine())
        handleMachines(event->machine());
    if (event->has_dump())
        handleDumps(event->dump());
    if (event->has_reboot())
        handleReboots(event->reboot());
    if (event->has_watchdog())
        handleWatchdogs(event->watchdog());
    if (event->has_joinlayer())
        handleJoinlayers(event->joinlayer());
    if (event->has_specfile())
        handleSpecfiles(event->specfile());
    if (event->has_systemload())
        handleSystemloads(event->systemload());
    if (event->has_generic())
        handleGeneric(event->generic());
}

void DataBaseWrapper::handleDumps(const CoreDump& msg)
{
    insertRow(QStringLiteral("coredumps"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("taskname"), text(msg.taskname())}});
}

void DataBaseWrapper::handleReboots(const Reboot& msg)
{
    insertRow(QStringLiteral("reboots"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("issuer"), text(msg.issuer())}});
}

void DataBaseWrapper::handleWatchdogs(const WatchDog& msg)
{
    insertRow(QStringLiteral("watchdog"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("triggeredBy"), text(msg.triggeredby())}});
}

void DataBaseWrapper::handleJoinlayers(const JoinLayer& msg)
{
    insertRow(QStringLiteral("joinlayer"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("taskName"), text(msg.taskname())}});
}

void DataBaseWrapper::handleSpecfiles(const SpecfileUse& msg)
{
    insertRow(QStringLiteral("specfile"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("taskname"), text(msg.taskname())},
               {QStringLiteral("specfile"), text(msg.specfile())}});
}

void DataBaseWrapper::handleSystemloads(const SystemLoad& msg)
{
    insertRow(QStringLiteral("systemload"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("sysload"), text(msg.sysload())}});
}

void DataBaseWrapper::handleMachines(const MachineConfig& msg)
{
    insertRow(QStringLiteral("configuration"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("hardwareconf"), text(msg.hardwareconf())},
               {QStringLiteral("linuxver"), text(msg.linuxver())},
               {QStringLiteral("rpmsinstalled"), text(msg.rpmsinstalled())},
               {QStringLiteral("tevrikversion"), text(msg.tevrikversion())},
               {QStringLiteral("diskspace"), text(msg.diskspace())}});
}

void DataBaseWrapper::handleGeneric(const GenericLogMsg& msg)
{
    insertRow(QStringLiteral("generic"),
              {{QStringLiteral("time"), number(msg.timestamp())},
               {QStringLiteral("recordNumber"), number(msg.recordnumber())},
               {QStringLiteral("key"), text(msg.key())},
               {QStringLiteral("value"), text(msg.value())}});
}
