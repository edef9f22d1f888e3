#include "localstore.h"

#include "eventmodel.h"
#include "storedtext.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QThread>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUuid>
#include <QVariant>
#include <QSqlDriver>
#include <QSysInfo>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <utility>

namespace {

// Longer than the daemon's own 10 s, so a long daemon transaction delays a mark instead of failing it.
const int busyTimeoutMs = 15000;
const char connectOptions[] = "QSQLITE_BUSY_TIMEOUT=15000;QSQLITE_OPEN_URI";
// The daemon frees the write lock only for the moment between its transactions; SQLite's own busy
// handler sleeps up to 100 ms between tries and so rarely meets that moment while events stream in.
const unsigned long writeLockPollUs = 100;

// Rows marked in one write transaction: the daemon waits no longer than that many updates take, a few
// milliseconds. Each transaction first waits for the daemon to let go of the lock, so fewer rows, or a
// pause after each, make the marking slower than the master takes rows (forward-bench at 100,000/s).
const qint64 markChunkRows = 5000;

const char identityTable[] = "CREATE TABLE IF NOT EXISTS forwarder_source (id INTEGER PRIMARY KEY CHECK (id = 1), "
                             "source TEXT NOT NULL, created INTEGER NOT NULL, machine TEXT, file TEXT)";
// Waited for the write lock after a stop request, so that a stop ends within a second.
const qint64 stopLockWaitMs = 200;
// The forwarder's own facts about the database, one value per key.
const char stateTable[] = "CREATE TABLE IF NOT EXISTS forwarder_state (key TEXT PRIMARY KEY, value INTEGER NOT NULL)";
// Set once the rows that earlier forwarders set aside for a NUL or invalid UTF-8, which now go altered, are queued
// again; rows set aside after that stay aside.
const char requeuedKey[] = "setaside_requeued";
// The master server last written to.
const char masterSystemKey[] = "master_system_identifier";
const char masterTimelineKey[] = "master_timeline";
// Followed by a table's name: the rowIDs up to which its rows were marked under an earlier identity.
const char floorKeyPrefix[] = "identity_floor_";

QString tableName(const EventKind& kind)
{
    return QLatin1String(kind.table);
}

// The payload columns go as they are: the storage class of each value is checked before it is read. The limit is
// the last parameter.
QByteArray selectStatement(const EventKind& kind, const char* condition)
{
    QString columns = QStringLiteral("rowID, time");
    for (int c = 0; c < kind.columnCount; ++c)
        columns += QStringLiteral(", ") + QLatin1String(kind.columns[c].name);
    return QStringLiteral("SELECT %1 FROM %2 WHERE %3 ORDER BY rowID LIMIT ?")
        .arg(columns, tableName(kind), QLatin1String(condition))
        .toUtf8();
}

QString floorKey(const EventKind& kind)
{
    return QLatin1String(floorKeyPrefix) + tableName(kind);
}

// The names of SQLite's typeof().
QLatin1String typeName(int type)
{
    switch (type) {
    case SQLITE_INTEGER:
        return QLatin1String("integer");
    case SQLITE_FLOAT:
        return QLatin1String("real");
    case SQLITE_TEXT:
        return QLatin1String("text");
    case SQLITE_BLOB:
        return QLatin1String("blob");
    default:
        return QLatin1String("null");
    }
}

// The row's values, or why the master cannot take them. A text goes as the master can hold it: see masterText().
QString readRow(sqlite3_stmt* statement, const EventKind& kind, LocalRow* row)
{
    if (sqlite3_column_type(statement, 1) != SQLITE_INTEGER)
        return QStringLiteral("time holds a %1 value").arg(typeName(sqlite3_column_type(statement, 1)));
    row->time = sqlite3_column_int64(statement, 1);
    std::string scratch;
    for (int i = 0; i < kind.columnCount; ++i) {
        const EventColumn& column = kind.columns[std::size_t(i)];
        const int type = sqlite3_column_type(statement, 2 + i);
        if (column.storage == Storage::Integer) {
            if (type != SQLITE_INTEGER)
                return QStringLiteral("%1 holds a %2 value").arg(QLatin1String(column.name), typeName(type));
            row->values.append(QByteArray::number(sqlite3_column_int64(statement, 2 + i)));
            continue;
        }
        if (type != SQLITE_TEXT && type != SQLITE_BLOB)
            return QStringLiteral("%1 holds a %2 value").arg(QLatin1String(column.name), typeName(type));
        // Read as bytes, so that invalid UTF-8 is seen as it is stored.
        const std::string_view stored(static_cast<const char*>(sqlite3_column_blob(statement, 2 + i)),
                                      std::size_t(sqlite3_column_bytes(statement, 2 + i)));
        bool altered = false;
        const std::string_view text = masterText(stored, scratch, &altered);
        if (altered && row->alteration.isEmpty())
            row->alteration = (isValidUtf8(stored) ? QStringLiteral("%1 holds a NUL character")
                                                   : QStringLiteral("%1 is not valid UTF-8"))
                                  .arg(QLatin1String(column.name));
        row->values.append(QByteArray(text.data(), int(text.size())));
    }
    return QString();
}

} // namespace

LocalStore::LocalStore()
    : m_connection(QStringLiteral("forwarder-local"))
{
}

LocalStore::~LocalStore()
{
    for (const QVector<sqlite3_stmt*>* statements : {&m_selects, &m_refillSelects}) {
        for (sqlite3_stmt* statement : *statements)
            sqlite3_finalize(statement);
    }
    sqlite3_close(m_markDb);
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(m_connection))
        QSqlDatabase::removeDatabase(m_connection);
}

bool LocalStore::exec(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(sql))
        return true;
    m_error = query.lastError().text();
    return false;
}

void LocalStore::requestStop()
{
    m_stopRequestedMs = QDateTime::currentMSecsSinceEpoch();
}

bool LocalStore::beginWrite(sqlite3* db, QString* error) const
{
    sqlite3_busy_timeout(db, 0);
    const QDeadlineTimer deadline(busyTimeoutMs);
    int code = SQLITE_OK;
    while ((code = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) != SQLITE_OK) {
        const qint64 stopRequestedMs = m_stopRequestedMs;
        if ((code & 0xff) != SQLITE_BUSY || deadline.hasExpired()
            || (stopRequestedMs > 0 && QDateTime::currentMSecsSinceEpoch() - stopRequestedMs > stopLockWaitMs))
            break;
        QThread::usleep(writeLockPollUs);
    }
    if (code != SQLITE_OK)
        *error = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_busy_timeout(db, busyTimeoutMs);
    return code == SQLITE_OK;
}

bool LocalStore::endWrite(sqlite3* db, bool commit, QString* error)
{
    if (commit && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    if (commit)
        *error = QString::fromUtf8(sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool LocalStore::readIdentity(Identity* identity)
{
    *identity = Identity();
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA table_info(forwarder_source)"))) {
        m_error = query.lastError().text();
        return false;
    }
    QStringList columns;
    while (query.next())
        columns << query.value(1).toString();
    identity->hasTable = !columns.isEmpty();
    if (!identity->hasTable)
        return true;
    identity->hasColumns = columns.contains(QStringLiteral("machine")) && columns.contains(QStringLiteral("file"));
    if (!query.exec(identity->hasColumns ? QStringLiteral("SELECT source, machine, file FROM forwarder_source WHERE id = 1")
                                         : QStringLiteral("SELECT source, NULL, NULL FROM forwarder_source WHERE id = 1"))) {
        m_error = query.lastError().text();
        return false;
    }
    if (query.next()) {
        identity->source = query.value(0).toString();
        identity->machine = query.value(1).toString();
        identity->file = query.value(2).toString();
    }
    return true;
}

LocalStore::IdentityChange LocalStore::identityChange(const Identity& identity) const
{
    if (!identity.hasTable || identity.source.isEmpty())
        return IdentityChange::Create;
    if (!identity.hasColumns)
        return IdentityChange::AddColumns;
    // An identity made by an earlier forwarder belongs to the machine and the file where it is found first.
    if (identity.machine.isEmpty() && identity.file.isEmpty())
        return IdentityChange::Adopt;
    return identity.machine != m_machine || identity.file != m_file ? IdentityChange::Renew : IdentityChange::None;
}

bool LocalStore::changeIdentity()
{
    if (!beginWrite(m_db, &m_error))
        return false;
    // Another forwarder on the same database may have made the change meanwhile.
    Identity identity;
    bool ok = readIdentity(&identity);
    const IdentityChange change = ok ? identityChange(identity) : IdentityChange::None;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    const QString source = QUuid::createUuid().toString(QUuid::WithoutBraces);
    // A table of an earlier forwarder gets the columns of the machine and the file first.
    if (ok && change != IdentityChange::None && identity.hasTable && !identity.hasColumns)
        ok = exec(QStringLiteral("ALTER TABLE forwarder_source ADD COLUMN machine TEXT"))
             && exec(QStringLiteral("ALTER TABLE forwarder_source ADD COLUMN file TEXT"));
    switch (ok ? change : IdentityChange::None) {
    case IdentityChange::None:
        break;
    case IdentityChange::Create:
        ok = exec(QString::fromLatin1(identityTable));
        query.prepare(QStringLiteral(
            "INSERT OR REPLACE INTO forwarder_source (id, source, created, machine, file) VALUES (1, ?, ?, ?, ?)"));
        query.addBindValue(source);
        query.addBindValue(QDateTime::currentMSecsSinceEpoch());
        query.addBindValue(m_machine);
        query.addBindValue(m_file);
        ok = ok && query.exec();
        break;
    case IdentityChange::AddColumns:
    case IdentityChange::Adopt:
        query.prepare(QStringLiteral("UPDATE forwarder_source SET machine = ?, file = ? WHERE id = 1"));
        query.addBindValue(m_machine);
        query.addBindValue(m_file);
        ok = query.exec();
        break;
    case IdentityChange::Renew:
        query.prepare(QStringLiteral(
            "UPDATE forwarder_source SET source = ?, created = ?, machine = ?, file = ? WHERE id = 1"));
        query.addBindValue(source);
        query.addBindValue(QDateTime::currentMSecsSinceEpoch());
        query.addBindValue(m_machine);
        query.addBindValue(m_file);
        ok = query.exec();
        if (ok)
            m_identityNotice = QStringLiteral("Database \"%1\" holds the source identity %2 of a database on another "
                                              "machine or in another file, a copy: its rows not yet forwarded go to "
                                              "the master under the new source identity %3")
                                   .arg(m_file, identity.source, source);
        break;
    }
    std::vector<qint64> floors;
    if (ok && (change == IdentityChange::Create || change == IdentityChange::Renew)) {
        ok = exec(QString::fromLatin1(stateTable)) && readCursors(&floors);
        for (std::size_t t = 0; ok && t < floors.size(); ++t)
            ok = setState(floorKey(eventKinds()[t]), floors[t]);
    }
    if (!ok && m_error.isEmpty())
        m_error = query.lastError().text();
    return endWrite(m_db, ok, &m_error);
}

bool LocalStore::setState(const QString& key, qint64 value)
{
    return exec(QStringLiteral("INSERT OR REPLACE INTO forwarder_state (key, value) VALUES ('%1', %2)").arg(key).arg(value));
}

bool LocalStore::readCursors(std::vector<qint64>* cursors)
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    cursors->clear();
    for (const EventKind& kind : eventKinds()) {
        qint64 cursor = 0;
        if (query.exec(QStringLiteral("SELECT rowID FROM %1 WHERE sentToMasterDB = 0 ORDER BY rowID LIMIT 1")
                           .arg(tableName(kind)))
            && query.next()) {
            cursor = query.value(0).toLongLong() - 1;
        } else if (query.isActive()
                   && query.exec(QStringLiteral("SELECT COALESCE(MAX(rowID), 0) FROM %1").arg(tableName(kind)))
                   && query.next()) {
            cursor = query.value(0).toLongLong();
        }
        if (!query.isActive()) {
            m_error = query.lastError().text();
            return false;
        }
        cursors->push_back(cursor);
    }
    return true;
}

bool LocalStore::readState()
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (!query.exec(QStringLiteral("SELECT key, value FROM forwarder_state"))) {
        m_error = query.lastError().text();
        return false;
    }
    m_floors.assign(eventKindCount, 0);
    while (query.next()) {
        const QString key = query.value(0).toString();
        const qint64 value = query.value(1).toLongLong();
        if (key == QLatin1String(masterSystemKey))
            m_lastMaster.systemId = value;
        else if (key == QLatin1String(masterTimelineKey))
            m_lastMaster.timeline = value;
        for (std::size_t t = 0; t < eventKindCount; ++t) {
            if (key == floorKey(eventKinds()[t]))
                m_floors[t] = value;
        }
    }
    return true;
}

bool LocalStore::recordLastMaster(const MasterIdentity& master)
{
    if (master == m_lastMaster)
        return true;
    if (!beginWrite(m_db, &m_error))
        return false;
    const bool ok = setState(QLatin1String(masterSystemKey), master.systemId)
                    && setState(QLatin1String(masterTimelineKey), master.timeline);
    if (!endWrite(m_db, ok, &m_error))
        return false;
    m_lastMaster = master;
    return true;
}

bool LocalStore::open(const QString& path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    // mode=rw: a database that the daemon has not made yet is an error, not a new empty file.
    QUrl url = QUrl::fromLocalFile(path);
    url.setQuery(QStringLiteral("mode=rw"));
    db.setDatabaseName(url.toString(QUrl::FullyEncoded));
    db.setConnectOptions(QString::fromLatin1(connectOptions));
    if (!db.open()) {
        m_error = db.lastError().text();
        return false;
    }

    // Qt opens and owns the connection; the backlog is read straight from SQLite.
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        m_error = QStringLiteral("the SQLite driver gives no handle");
        return false;
    }
    m_db = *static_cast<sqlite3* const*>(handle.constData());

    const QStringList existing = db.tables();
    for (const EventKind& kind : eventKinds()) {
        if (!existing.contains(tableName(kind))) {
            m_error = QStringLiteral("it has no table %1 of the tevrik system log").arg(tableName(kind));
            return false;
        }
    }

    m_machine = QString::fromLatin1(QSysInfo::machineUniqueId());
    m_file = QFileInfo(path).canonicalFilePath();
    Identity identity;
    if (!readIdentity(&identity))
        return false;
    if (identityChange(identity) != IdentityChange::None && (!changeIdentity() || !readIdentity(&identity)))
        return false;
    m_sourceId = identity.source;
    if (QUuid::fromString(m_sourceId).isNull()) {
        m_error = QStringLiteral("its forwarder_source holds no UUID");
        return false;
    }

    // The only scan of the sent rows, once per start: afterwards the cursors advance by rowID.
    if (!requeueSetAside() || !readState() || !readCursors(&m_cursors))
        return false;
    m_committed = m_cursors;
    m_refillFrom = m_committed;
    m_refillTo = m_committed;

    // Marking has a connection of its own, so that it can go on while the next batch is read.
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_markDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_markDb));
        return false;
    }
    sqlite3_busy_timeout(m_markDb, busyTimeoutMs);
    for (const EventKind& kind : eventKinds()) {
        for (auto [statements, condition] :
             {std::pair(&m_selects, "rowID > ?"),
              std::pair(&m_refillSelects, "rowID > ? AND rowID <= ? AND sentToMasterDB = 1 AND time >= ?")}) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v3(m_db, selectStatement(kind, condition).constData(), -1, SQLITE_PREPARE_PERSISTENT,
                                   &statement, nullptr)
                != SQLITE_OK) {
                m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
                sqlite3_finalize(statement);
                return false;
            }
            statements->append(statement);
        }
    }
    return true;
}

bool LocalStore::readRows(sqlite3_stmt* statement, TableBatch* batch, int* remaining)
{
    const EventKind& kind = eventKinds()[std::size_t(batch->table)];
    sqlite3_bind_int(statement, sqlite3_bind_parameter_count(statement), *remaining);
    int code = SQLITE_ROW;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        LocalRow row;
        row.rowId = sqlite3_column_int64(statement, 0);
        if (batch->rows.isEmpty() && batch->refused.isEmpty())
            batch->firstRowId = row.rowId;
        batch->lastRowId = row.rowId;
        row.values.reserve(kind.columnCount);
        const QString problem = readRow(statement, kind, &row);
        if (problem.isEmpty())
            batch->rows.append(std::move(row));
        else
            batch->refused.append({row.rowId, problem});
        --*remaining;
    }
    sqlite3_reset(statement);
    if (code == SQLITE_DONE)
        return true;
    m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
    return false;
}

QVector<TableBatch> LocalStore::readBatch(int maxRows, int firstTable)
{
    m_error.clear();
    QVector<TableBatch> batches;
    const int tableCount = int(eventKindCount);
    int remaining = maxRows;
    for (int n = 0; n < tableCount && remaining > 0; ++n) {
        const int index = (firstTable + n) % tableCount;
        sqlite3_stmt* statement = m_selects.at(index);
        sqlite3_bind_int64(statement, 1, m_cursors.at(index));
        TableBatch batch;
        batch.table = index;
        if (!readRows(statement, &batch, &remaining)) {
            rewind();
            return {};
        }
        if (!batch.rows.isEmpty() || !batch.refused.isEmpty()) {
            m_cursors[index] = batch.lastRowId;
            batches.append(std::move(batch));
        }
    }
    return batches;
}

QVector<int> LocalStore::planRefill(const QVector<qint64>& masterHighest, qint64 cutoffMs)
{
    QVector<int> lacking;
    m_refillCutoffMs = cutoffMs;
    for (int t = 0; t < int(eventKindCount); ++t) {
        m_refillTo[t] = m_committed[t];
        m_refillFrom[t] = std::min(m_refillTo[t], std::max(masterHighest.value(t), m_floors[t]));
        if (m_refillFrom[t] < m_refillTo[t])
            lacking << t;
    }
    return lacking;
}

bool LocalStore::refilling() const
{
    return m_refillFrom != m_refillTo;
}

QVector<TableBatch> LocalStore::readRefill(int maxRows)
{
    m_error.clear();
    QVector<TableBatch> batches;
    int remaining = maxRows;
    for (int t = 0; t < int(eventKindCount) && remaining > 0; ++t) {
        if (m_refillFrom[t] == m_refillTo[t])
            continue;
        sqlite3_stmt* statement = m_refillSelects.at(t);
        sqlite3_bind_int64(statement, 1, m_refillFrom[t]);
        sqlite3_bind_int64(statement, 2, m_refillTo[t]);
        sqlite3_bind_int64(statement, 3, m_refillCutoffMs);
        TableBatch batch;
        batch.table = t;
        const int asked = remaining;
        if (!readRows(statement, &batch, &remaining))
            return {};
        // Fewer rows than asked for: none is left past them.
        m_refillFrom[t] = remaining > 0 ? m_refillTo[t] : batch.lastRowId;
        if (asked > remaining)
            batches.append(std::move(batch));
    }
    return batches;
}

void LocalStore::committed(const QVector<TableBatch>& batches)
{
    for (const TableBatch& batch : batches)
        m_committed[batch.table] = qMax(m_committed.at(batch.table), batch.lastRowId);
}

void LocalStore::rewind()
{
    m_cursors = m_committed;
}

QString LocalStore::markSent(const QVector<TableBatch>& batches) const
{
    QString error;
    for (const TableBatch& batch : batches) {
        const QByteArray table(eventKinds()[std::size_t(batch.table)].table);
        const QByteArray refuse = "UPDATE " + table + " SET sentToMasterDB = 2 WHERE rowID = ?";
        const QByteArray send = "UPDATE " + table + " SET sentToMasterDB = 1 WHERE rowID BETWEEN ? AND ? "
                                                    "AND sentToMasterDB = 0";
        sqlite3_stmt* refuseStatement = nullptr;
        sqlite3_stmt* sendStatement = nullptr;
        bool ok = sqlite3_prepare_v2(m_markDb, refuse.constData(), -1, &refuseStatement, nullptr) == SQLITE_OK
                  && sqlite3_prepare_v2(m_markDb, send.constData(), -1, &sendStatement, nullptr) == SQLITE_OK;
        for (qint64 first = batch.firstRowId; ok && first <= batch.lastRowId; first += markChunkRows) {
            const qint64 last = qMin(batch.lastRowId, first + markChunkRows - 1);
            if (!beginWrite(m_markDb, &error))
                break;

            for (const RefusedRow& refused : batch.refused) {
                if (!ok || refused.rowId < first || refused.rowId > last)
                    continue;
                sqlite3_bind_int64(refuseStatement, 1, refused.rowId);
                ok = sqlite3_step(refuseStatement) == SQLITE_DONE;
                sqlite3_reset(refuseStatement);
            }
            sqlite3_bind_int64(sendStatement, 1, first);
            sqlite3_bind_int64(sendStatement, 2, last);
            ok = ok && sqlite3_step(sendStatement) == SQLITE_DONE;
            sqlite3_reset(sendStatement);
            if (!ok)
                error = QString::fromUtf8(sqlite3_errmsg(m_markDb));
            ok = endWrite(m_markDb, ok, &error);
        }
        if (!ok && error.isEmpty())
            error = QString::fromUtf8(sqlite3_errmsg(m_markDb));
        sqlite3_finalize(refuseStatement);
        sqlite3_finalize(sendStatement);
        if (!error.isEmpty())
            return error;
    }
    return error;
}

WaitingRows LocalStore::waiting()
{
    WaitingRows result;
    bool first = true;
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    for (int i = 0; i < int(eventKindCount); ++i) {
        query.prepare(QStringLiteral("SELECT COUNT(*), (SELECT time FROM %1 WHERE rowID > ? ORDER BY rowID LIMIT 1) "
                                     "FROM %1 WHERE rowID > ?")
                          .arg(tableName(eventKinds()[std::size_t(i)])));
        query.addBindValue(m_committed.at(i));
        query.addBindValue(m_committed.at(i));
        if (!query.exec() || !query.next())
            continue;
        const qint64 count = query.value(0).toLongLong();
        if (count == 0)
            continue;
        result.count += count;
        const qint64 time = query.value(1).toLongLong();
        if (first || time < result.oldestTime)
            result.oldestTime = time;
        first = false;
    }
    return result;
}

bool LocalStore::requeueSetAside()
{
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    if (query.exec(QStringLiteral("SELECT value FROM forwarder_state WHERE key = '%1'").arg(QLatin1String(requeuedKey)))
        && query.next())
        return true;
    query.finish();
    // A transaction per table, so that the daemon never waits for more than one table's scan; the marker comes
    // last, so that a start cut short queues again what it had not reached.
    for (const EventKind& kind : eventKinds()) {
        if (!beginWrite(m_db, &m_error))
            return false;
        const bool ok =
            exec(QStringLiteral("UPDATE %1 SET sentToMasterDB = 0 WHERE sentToMasterDB = 2").arg(tableName(kind)));
        const qint64 changed = ok ? sqlite3_changes(m_db) : 0;
        if (!endWrite(m_db, ok, &m_error))
            return false;
        m_requeued += changed;
    }
    if (!beginWrite(m_db, &m_error))
        return false;
    const bool ok = exec(QString::fromLatin1(stateTable))
                    // A forwarder started beside this one may have set it first.
                    && exec(QStringLiteral("INSERT OR IGNORE INTO forwarder_state (key, value) VALUES ('%1', %2)")
                                .arg(QLatin1String(requeuedKey))
                                .arg(QDateTime::currentMSecsSinceEpoch()));
    return endWrite(m_db, ok, &m_error);
}
