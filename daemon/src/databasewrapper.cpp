#include "databasewrapper.h"

#include "benchbaseline.h"
#include "configsettings.h"
#include "programmessagehandler.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <utility>

namespace {

// Limits of one transaction. The age bounds the delay before a row is committed: a timer
// commits a transaction that old when the event loop is idle, and the next row does while
// datagrams keep coming. Committing less often than at every notification saves the rewrite of
// the tables' last pages, which at 100,000 events/s took a quarter of the daemon's time. The
// sizes bound the memory that the rows kept for a replay take.
constexpr int maxTransactionAgeMs = 40;
constexpr int maxTransactionRows = 4096;
constexpr qint64 maxTransactionBytes = 4 * 1024 * 1024;

// Another process holding the write lock delays rows for up to this long instead of losing them.
const char connectOptions[] = "QSQLITE_BUSY_TIMEOUT=10000";

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

struct TableInsert
{
    const char* table;
    const char* statement;
};

// Indexed by DataBaseWrapper::Table.
const TableInsert tableInserts[] = {
    {"configuration",
     "INSERT INTO configuration (time, hardwareconf, linuxver, rpmsinstalled, tevrikversion, diskspace) "
     "VALUES (:time, :hardwareconf, :linuxver, :rpmsinstalled, :tevrikversion, :diskspace)"},
    {"coredumps", "INSERT INTO coredumps (time, taskname) VALUES (:time, :taskname)"},
    {"reboots", "INSERT INTO reboots (time, issuer) VALUES (:time, :issuer)"},
    {"watchdog", "INSERT INTO watchdog (time, triggeredBy) VALUES (:time, :triggeredBy)"},
    {"joinlayer", "INSERT INTO joinlayer (time, taskName) VALUES (:time, :taskName)"},
    {"specfile", "INSERT INTO specfile (time, taskname, specfile) VALUES (:time, :taskname, :specfile)"},
    {"systemload", "INSERT INTO systemload (time, sysload) VALUES (:time, :sysload)"},
    {"generic", "INSERT INTO generic (time, recordNumber, key, value) VALUES (:time, :recordNumber, :key, :value)"},
};

// SQLite integers are signed 64-bit: the same bits keep every unsigned value exactly, and
// values below 2^63 unchanged; a reader recovers larger ones by casting back.
QVariant number(quint64 value)
{
    return QVariant(static_cast<qlonglong>(value));
}

QVariant text(const std::string& value)
{
    return QVariant(QString::fromStdString(value));
}

qint64 textBytes(const QVariantList& values)
{
    qint64 bytes = 0;
    for (const QVariant& value : values) {
        if (value.userType() == QMetaType::QString)
            bytes += value.toString().size() * qint64(sizeof(QChar));
    }
    return bytes;
}

QSqlDatabase connection()
{
    return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
}

// Built only when shown: at a flood's rate, formatting the report would cost more than the row.
void reportStatement(const QSqlQuery& query)
{
    if (debugLevel < 3)
        return;
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
    db.setConnectOptions(QLatin1String(connectOptions));
    if (db.open())
        tuneConnection();
    else
        m_errorString = db.lastError().text();
    createTables();

    m_commitTimer.setSingleShot(true);
    m_commitTimer.setInterval(maxTransactionAgeMs);
    connect(&m_commitTimer, &QTimer::timeout, this, &DataBaseWrapper::commit);
}

DataBaseWrapper::~DataBaseWrapper()
{
    commit();
}

bool DataBaseWrapper::isReady() const
{
    return m_errorString.isEmpty();
}

QString DataBaseWrapper::errorString() const
{
    return m_errorString;
}

void DataBaseWrapper::setMaxHeldBytes(qint64 bytes)
{
    m_maxHeldBytes = bytes;
}

// With a write-ahead journal, synchronous=NORMAL commits without waiting for the disk, and a
// crashed or killed daemon still loses no committed transaction; only a power cut may take the
// last ones, never the database's integrity.
void DataBaseWrapper::tuneConnection()
{
    if (benchBaseline)
        return;
    QSqlQuery query;
    const bool wal = query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && query.next()
                     && query.value(0).toString() == QLatin1String("wal");
    if (wal)
        query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    else
        qDebug() << QStringLiteral("Write-ahead journal not available: rows are committed with the default journal.");
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

void DataBaseWrapper::insertRow(Table table, const QVariantList& values)
{
    if (!benchBaseline && !m_inTransaction) {
        m_inTransaction = connection().transaction();
        if (m_inTransaction) {
            m_transactionAge.start();
            m_commitTimer.start();
        }
    }

    if (!execInsert(table, values, true)) {
        // The failure may have rolled back the whole transaction: commit() writes its rows again then.
        commit();
        return;
    }
    if (!m_inTransaction)
        return;
    m_pending.append({table, values});
    m_pendingBytes += textBytes(values);
    if (m_pending.size() >= maxTransactionRows || m_pendingBytes >= maxTransactionBytes
        || m_transactionAge.hasExpired(maxTransactionAgeMs)) {
        commit();
    }
}

bool DataBaseWrapper::execInsert(Table table, const QVariantList& values, bool report)
{
    const auto index = static_cast<size_t>(table);
    std::unique_ptr<QSqlQuery>& insert = m_inserts[index];
    if (!insert || benchBaseline) {
        insert = std::make_unique<QSqlQuery>();
        // Executing a statement that failed to prepare would only hide the cause behind a binding error.
        if (!insert->prepare(QString::fromLatin1(tableInserts[index].statement))) {
            if (report)
                reportStatement(*insert);
            reportLostRow(table, *insert);
            // Prepared again for the next row, once the cause may have gone.
            insert.reset();
            return false;
        }
    }
    for (int i = 0; i < values.size(); ++i)
        insert->bindValue(i, values.at(i), QSql::In);
    const bool stored = insert->exec();
    if (report)
        reportStatement(*insert);
    if (!stored)
        reportLostRow(table, *insert);
    return stored;
}

void DataBaseWrapper::reportLostRow(Table table, const QSqlQuery& query) const
{
    // A closed database fails statements without an error of their own; its opening error says why.
    const QString error = query.lastError().isValid() ? query.lastError().text() : m_errorString;
    qCritical() << QStringLiteral("Failed to store a row in table %1: %2")
                       .arg(QLatin1String(tableInserts[static_cast<size_t>(table)].table), error);
}

void DataBaseWrapper::commit()
{
    m_commitTimer.stop();
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    const QVector<PendingRow> rows = std::exchange(m_pending, {});
    m_pendingBytes = 0;

    QSqlDatabase db = connection();
    if (db.commit()) {
        emit committed();
        return;
    }
    // The transaction is gone or cannot be committed: each of its rows is stored by itself, so
    // that a failure loses only the rows that fail again.
    db.rollback();
    for (const PendingRow& row : rows)
        execInsert(row.table, row.values, false);
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
    insertRow(Table::CoreDumps, {number(msg.timestamp()), text(msg.taskname())});
}

void DataBaseWrapper::handleReboots(const Reboot& msg)
{
    insertRow(Table::Reboots, {number(msg.timestamp()), text(msg.issuer())});
}

void DataBaseWrapper::handleWatchdogs(const WatchDog& msg)
{
    insertRow(Table::Watchdog, {number(msg.timestamp()), text(msg.triggeredby())});
}

void DataBaseWrapper::handleJoinlayers(const JoinLayer& msg)
{
    insertRow(Table::JoinLayer, {number(msg.timestamp()), text(msg.taskname())});
}

void DataBaseWrapper::handleSpecfiles(const SpecfileUse& msg)
{
    insertRow(Table::Specfile, {number(msg.timestamp()), text(msg.taskname()), text(msg.specfile())});
}

void DataBaseWrapper::handleSystemloads(const SystemLoad& msg)
{
    insertRow(Table::SystemLoad, {number(msg.timestamp()), text(msg.sysload())});
}

void DataBaseWrapper::handleMachines(const MachineConfig& msg)
{
    insertRow(Table::Configuration, {number(msg.timestamp()), text(msg.hardwareconf()), text(msg.linuxver()),
                                     text(msg.rpmsinstalled()), text(msg.tevrikversion()), text(msg.diskspace())});
}

void DataBaseWrapper::handleGeneric(const GenericLogMsg& msg)
{
    insertRow(Table::Generic,
              {number(msg.timestamp()), number(msg.recordnumber()), text(msg.key()), text(msg.value())});
}
