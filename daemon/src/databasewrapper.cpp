#include "databasewrapper.h"

#include "configsettings.h"
#include "daemoncounters.h"
#include "programmessagehandler.h"
#include "storedtext.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include <algorithm>
#include <utility>

namespace {

// Limits of one transaction. The age bounds the delay before a row is committed: a timer commits a transaction that
// old when the event loop is idle, and the next row does while datagrams keep coming. Committing less often than at
// every notification saves the rewrite of the tables' last pages. The sizes bound the memory that the rows kept for
// a replay take.
constexpr int maxTransactionAgeMs = 40;
constexpr size_t maxTransactionRows = 8192;
constexpr size_t maxTransactionBytes = 4 * 1024 * 1024;
// The age is read from the clock once per this many rows: at a flood's rate a clock read costs more than the check
// saves, and 64 rows arrive within a millisecond.
constexpr size_t rowsPerAgeCheck = 64;
// SQLite's page cache, in KiB (a negative cache_size): the last pages of the eight tables and of the time map stay
// cached from one commit to the next.
constexpr int pageCacheKiB = 8192;

// Another process holding the write lock holds up the event loop's thread at most this long; past it the rows are
// held in memory, and the receive thread keeps reading the socket meanwhile.
constexpr int busyTimeoutMs = 200;
// At start the store waits longer for a lock, since it cannot begin without its tables.
constexpr int startBusyTimeoutMs = 10000;
// A checkpoint is asked for once the journal holds as many pages as SQLite's automatic checkpoint waits for. Past
// restartPages, the next transaction waits, in memory, for a running checkpoint to end before it writes, so that
// the journal starts again from its beginning instead of growing while rows keep coming.
constexpr int checkpointPages = 1000;
constexpr int restartPages = 4 * checkpointPages;

// Held rows are written again this often; one try writes for at most retryBudgetMs before the event loop reads
// datagrams again, then goes on at once.
constexpr int retryIntervalMs = 1000;
constexpr int retryBudgetMs = 50;
// A table's failures are summarised at most this often.
constexpr qint64 failureReportGapMs = 1000;

// What the time map may spend on rows that the store did not write: a little within each commit of arriving rows,
// more when the event loop is idle, with a rest in between.
constexpr int mapBudgetInCommitMs = 2;
constexpr int mapBudgetIdleMs = 20;
constexpr int mapRestMs = 5;
// Rows that others wrote are announced when there are this many: fewer are mapped in a blink.
constexpr qint64 announcedBacklogRows = 100000;

// The driver texts of the statement reports, as Qt's SQLite driver words them.
const char prepareFailed[] = "Unable to execute statement";
const char stepFailed[] = "Unable to fetch row";
const char notOpen[] = "Database not open";

const char* tableName(EventKindId kind)
{
    return eventKind(kind).table;
}

// Causes that may pass: the row is held and written again later.
bool mayPass(int code)
{
    switch (code & 0xff) {
    case SQLITE_FULL:
    case SQLITE_IOERR:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_READONLY:
        return true;
    default:
        return false;
    }
}

bool failed(int code)
{
    return code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW;
}

// What an operator does about a database that cannot be written, by SQLite's cause.
QString remedy(int code)
{
    switch (code & 0xff) {
    case SQLITE_FULL:
        return QStringLiteral("free space on its file system");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("another process holds its write lock");
    case SQLITE_IOERR:
        return QStringLiteral("check the file system that holds it");
    case SQLITE_CANTOPEN:
        return QStringLiteral("check that its directory exists and that the daemon's user may write to it");
    default:
        return QStringLiteral("let the daemon's user write to the file and to its directory");
    }
}

// Built only when shown: at a flood's rate, formatting the report would cost more than the row.
void reportStatement(const QString& driverText, const QString& databaseText, const char* statement)
{
    if (debugLevel >= 3)
        qDebug() << driverText << databaseText << QString::fromLatin1(statement);
}

QString rowCount(quint64 rows)
{
    return rows == 1 ? QStringLiteral("1 row") : QStringLiteral("%1 rows").arg(rows);
}

} // namespace

DataBaseWrapper::DataBaseWrapper(const ConfigSettings& settings, QObject* parent)
    : QObject(parent)
    , m_path(settings.getDBPath())
{
    // One thread uses each connection, so SQLite's locks and its memory statistics are cost without use. Takes
    // effect only before SQLite's first connection of the process.
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    if (open() && tuneConnection() && createTables()) {
        sqlite3_busy_timeout(m_db, busyTimeoutMs);
        sqlite3_prepare_v3(m_db, "BEGIN", -1, SQLITE_PREPARE_PERSISTENT, &m_begin, nullptr);
        sqlite3_prepare_v3(m_db, "COMMIT", -1, SQLITE_PREPARE_PERSISTENT, &m_commit, nullptr);
        sqlite3_prepare_v3(m_db, "ROLLBACK", -1, SQLITE_PREPARE_PERSISTENT, &m_rollback, nullptr);
        QString error;
        if (!m_checkpointer.start(m_path, &error)) {
            qWarning() << QStringLiteral("Cannot open a second connection for checkpoints: %1; SQLite checkpoints "
                                         "after the commits instead.")
                              .arg(error);
            sqlite3_wal_autocheckpoint(m_db, checkpointPages);
        }
    } else if (m_db) {
        // A database that is refused is never written.
        m_timeMap.reset();
        sqlite3_close(m_db);
        m_db = nullptr;
    }

    m_commitTimer.setSingleShot(true);
    m_commitTimer.setInterval(maxTransactionAgeMs);
    connect(&m_commitTimer, &QTimer::timeout, this, &DataBaseWrapper::commit);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { retryHeld(retryBudgetMs); });
    m_failureTimer.setSingleShot(true);
    connect(&m_failureTimer, &QTimer::timeout, this, [this] { reportFailures(false); });
    m_mapTimer.setSingleShot(true);
    connect(&m_mapTimer, &QTimer::timeout, this, &DataBaseWrapper::mapBacklog);

    if (m_timeMap && m_timeMap->hasBacklog()) {
        const qint64 rows = m_timeMap->unmappedAtLoad();
        if (m_timeMap->convertsOldIndex())
            writeAlways(QtInfoMsg, QStringLiteral("Mapping the times of %1 rows of an earlier version in the "
                                                  "background; its index on time goes once they are mapped.")
                                       .arg(rows));
        else if (rows >= announcedBacklogRows)
            writeAlways(QtInfoMsg,
                        QStringLiteral("Mapping the times of %1 rows that another program wrote, in the background.")
                            .arg(rows));
        m_mappingSince.start();
        m_mapTimer.start(0);
    }
}

DataBaseWrapper::~DataBaseWrapper()
{
    commit();
    reportFailures(true);
    m_checkpointer.stop();
    for (sqlite3_stmt* statement : m_inserts)
        sqlite3_finalize(statement);
    for (const auto& statements : m_multiRowInserts) {
        for (sqlite3_stmt* statement : statements)
            sqlite3_finalize(statement);
    }
    sqlite3_finalize(m_begin);
    sqlite3_finalize(m_commit);
    sqlite3_finalize(m_rollback);
    m_timeMap.reset();
    sqlite3_close(m_db);
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

int DataBaseWrapper::flushHeld()
{
    if (!m_held.empty())
        retryHeld(-1);
    commit();
    return int(m_held.rows());
}

int DataBaseWrapper::abandonHeld()
{
    const int rows = int(m_held.rows());
    daemonCounters().rowsLost += quint64(rows);
    m_held = HeldRows();
    syncHeldCount();
    m_retryTimer.stop();
    return rows;
}

bool DataBaseWrapper::open()
{
    const QFileInfo info(m_path);
    if (info.isDir()) {
        m_errorString = QStringLiteral("it is a directory; set dbpath to a file, such as \"%1\"")
                            .arg(QDir(m_path).filePath(QStringLiteral("systemlog.db")));
        return false;
    }
    const int code =
        sqlite3_open_v2(m_path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (code != SQLITE_OK) {
        m_errorString = QStringLiteral("%1; %2").arg(QString::fromUtf8(sqlite3_errmsg(m_db)), remedy(code));
        return false;
    }
    sqlite3_busy_timeout(m_db, startBusyTimeoutMs);

    // The first read tells an SQLite file from another, and whose tables it holds.
    sqlite3_stmt* query = nullptr;
    int step = sqlite3_prepare_v2(m_db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                                        "'sqlite_%' ORDER BY name",
                                  -1, &query, nullptr);
    QStringList tables;
    while (step == SQLITE_OK || step == SQLITE_ROW) {
        step = sqlite3_step(query);
        if (step == SQLITE_ROW)
            tables << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
    }
    sqlite3_finalize(query);
    if ((step & 0xff) == SQLITE_NOTADB) {
        m_errorString = QStringLiteral("the file is not an SQLite database; set dbpath to the system log's database "
                                       "or to a file that does not exist yet");
        return false;
    }
    if (step != SQLITE_DONE) {
        // A journal that the daemon may not make or open fails the first read as a write would.
        m_errorString = QStringLiteral("cannot %1 it: %2; %3")
                            .arg((step & 0xff) == SQLITE_READONLY ? QStringLiteral("write to") : QStringLiteral("read"),
                                 QString::fromUtf8(sqlite3_errmsg(m_db)), remedy(step));
        return false;
    }
    QStringList ours{QLatin1String(schemaVersionTable)};
    for (const EventKind& kind : eventKinds())
        ours << QLatin1String(kind.table);
    const bool foreign = !tables.isEmpty()
                         && std::none_of(tables.cbegin(), tables.cend(),
                                         [&ours](const QString& table) { return ours.contains(table); });
    if (foreign) {
        const QStringList named = tables.mid(0, 3);
        m_errorString = QStringLiteral("it holds tables of another program (%1%2) and none of the system log's; set "
                                       "dbpath to the system log's database or to a file that does not exist yet")
                            .arg(named.join(QLatin1String(", ")),
                                 tables.size() > named.size() ? QStringLiteral(", ...") : QString());
        return false;
    }
    return true;
}

// With a write-ahead journal, synchronous=NORMAL commits without waiting for the disk, and a crashed or killed
// daemon still loses no committed transaction; only a power cut may take the last ones, never the database's
// integrity.
bool DataBaseWrapper::tuneConnection()
{
    sqlite3_stmt* query = nullptr;
    bool wal = false;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode=WAL", -1, &query, nullptr) == SQLITE_OK
        && sqlite3_step(query) == SQLITE_ROW)
        wal = qstricmp(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)), "wal") == 0;
    sqlite3_finalize(query);
    const QByteArray pragmas = QStringLiteral("PRAGMA cache_size=-%1; PRAGMA journal_size_limit=%2%3")
                                   .arg(pageCacheKiB)
                                   .arg(journalSizeLimitBytes)
                                   .arg(wal ? QStringLiteral("; PRAGMA synchronous=NORMAL") : QString())
                                   .toLatin1();
    sqlite3_exec(m_db, pragmas.constData(), nullptr, nullptr, nullptr);
    if (!wal) {
        qDebug() << QStringLiteral("Write-ahead journal not available: rows are committed with the default journal.");
        return true;
    }
    // The checkpoint thread copies the journal instead of the committing thread.
    sqlite3_wal_autocheckpoint(m_db, 0);
    sqlite3_wal_hook(m_db, &DataBaseWrapper::journalWritten, this);
    return true;
}

int DataBaseWrapper::journalWritten(void* store, sqlite3* /*db*/, const char* /*name*/, int pages)
{
    auto* self = static_cast<DataBaseWrapper*>(store);
    self->m_journalPages = pages;
    if (pages >= checkpointPages)
        self->m_checkpointer.request();
    return SQLITE_OK;
}

// The tables, then the time map, and a write that shows that the database takes writes: one transaction, so that a
// disk running full meanwhile leaves no half-made schema, and whoever sees one table sees all of them.
bool DataBaseWrapper::createTables()
{
    QVector<const char*> statements{"BEGIN IMMEDIATE", schemaVersionCreate};
    for (EventKindId kind : tableCreationOrder())
        statements << eventKind(kind).createTable;
    statements << timeMapCreate << timeMapIndexCreate << timeMarkCreate;
    int code = SQLITE_OK;
    for (const char* statement : qAsConst(statements)) {
        sqlite3_stmt* query = nullptr;
        code = sqlite3_prepare_v2(m_db, statement, -1, &query, nullptr);
        const char* step = prepareFailed;
        if (code == SQLITE_OK) {
            code = sqlite3_step(query);
            step = stepFailed;
        }
        const bool done = code == SQLITE_DONE;
        if (statement != statements.constFirst())
            reportStatement(done ? QString() : QLatin1String(step),
                            done ? QString() : QString::fromUtf8(sqlite3_errmsg(m_db)), statement);
        sqlite3_finalize(query);
        if (!done)
            break;
    }
    if (code == SQLITE_DONE) {
        m_timeMap = std::make_unique<TimeMap>(m_db);
        code = m_timeMap->load();
    }
    // The marks' row is written again as it is: a real write of a page, and of the journal at the commit.
    if (!failed(code))
        code = sqlite3_exec(m_db, "UPDATE timemapmark SET lastRowID = lastRowID; COMMIT", nullptr, nullptr, nullptr);
    if (!failed(code))
        return true;
    m_errorString = QStringLiteral("cannot write to it: %1; %2").arg(QString::fromUtf8(sqlite3_errmsg(m_db)), remedy(code));
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

QString DataBaseWrapper::lastError() const
{
    // A closed database fails statements without an error of their own; its opening error says why.
    if (!m_db)
        return m_errorString;
    return QStringLiteral("%1 %2").arg(QString::fromUtf8(sqlite3_errmsg(m_db)), QLatin1String(m_failedStep));
}

sqlite3_stmt* DataBaseWrapper::insertStatement(EventKindId kind, bool report)
{
    sqlite3_stmt*& statement = m_inserts[size_t(kind)];
    if (statement)
        return statement;
    const char* text = eventKind(kind).insert;
    // Prepared again for the next row when this fails, once the cause may have gone.
    if (sqlite3_prepare_v3(m_db, text, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        m_failedStep = prepareFailed;
        m_failedTable = tableName(kind);
        if (report)
            reportStatement(QLatin1String(prepareFailed), QString::fromUtf8(sqlite3_errmsg(m_db)), text);
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    return statement;
}

std::string DataBaseWrapper::insertText(EventKindId kind, size_t rows)
{
    const EventKind& described = eventKind(kind);
    if (rows == 1)
        return described.insert;
    const std::string_view single(described.insert);
    const std::string_view values("VALUES ");
    std::string text(single.substr(0, single.find(values) + values.size()));
    std::string tuple("(?");
    for (int c = 0; c < described.columnCount; ++c)
        tuple += ",?";
    tuple += ')';
    for (size_t r = 0; r < rows; ++r) {
        if (r != 0)
            text += ',';
        text += tuple;
    }
    return text;
}

// The table's INSERT with the values of size rows; the single-row statement for one.
sqlite3_stmt* DataBaseWrapper::multiRowStatement(EventKindId kind, size_t size)
{
    if (size == 1)
        return insertStatement(kind, false);
    const size_t index = size_t(std::find(statementRows.begin(), statementRows.end(), size) - statementRows.begin());
    sqlite3_stmt*& statement = m_multiRowInserts[size_t(kind)][index];
    if (statement)
        return statement;
    const std::string text = insertText(kind, size);
    if (sqlite3_prepare_v3(m_db, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        m_failedStep = prepareFailed;
        m_failedTable = tableName(kind);
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    return statement;
}

int DataBaseWrapper::step(sqlite3_stmt* statement)
{
    const int code = sqlite3_step(statement);
    m_failedStep = stepFailed;
    m_failedTable = nullptr;
    sqlite3_reset(statement);
    return code;
}

int DataBaseWrapper::stepInsert(sqlite3_stmt* statement, EventKindId kind, const RowView* const* rows, size_t count)
{
    const int parameters = eventKind(kind).columnCount + 1;
    for (size_t r = 0; r < count; ++r)
        bind(statement, int(r) * parameters + 1, *rows[r]);
    const int code = step(statement);
    if (code != SQLITE_DONE) {
        m_failedTable = tableName(kind);
        return code;
    }
    // The rows of one statement, and of one table in one transaction, get consecutive rowIDs in their order.
    const sqlite3_int64 last = sqlite3_last_insert_rowid(m_db);
    for (size_t r = 0; r < count; ++r)
        m_timeMap->note(kind, last - sqlite3_int64(count - 1 - r), sqlite3_int64(rows[r]->values.time));
    return code;
}

void DataBaseWrapper::bind(sqlite3_stmt* statement, int firstParameter, const RowView& row)
{
    // SQLite integers are signed 64-bit: the same bits keep every unsigned value exactly, and values below 2^63
    // unchanged; a reader recovers larger ones by casting back.
    const EventKind& kind = eventKind(row.kind);
    sqlite3_bind_int64(statement, firstParameter, sqlite3_int64(row.values.time));
    for (int c = 0; c < kind.columnCount; ++c) {
        const int parameter = firstParameter + 1 + c;
        if (kind.columns[size_t(c)].storage == Storage::Integer) {
            sqlite3_bind_int64(statement, parameter, sqlite3_int64(row.values.numbers[size_t(c)]));
            continue;
        }
        // The texts outlive the step; an empty one must still be text, not NULL.
        const std::string_view text = row.values.texts[size_t(c)];
        sqlite3_bind_text(statement, parameter, text.data() ? text.data() : "", int(text.size()), SQLITE_STATIC);
    }
}

bool DataBaseWrapper::begin()
{
    if (m_inTransaction)
        return true;
    const int code = m_begin ? step(m_begin) : SQLITE_MISUSE;
    if (code != SQLITE_DONE) {
        recover(code);
        return false;
    }
    m_inTransaction = true;
    m_transactionAge.start();
    m_commitTimer.start();
    // A journal past its bound starts again only if its pages are all copied when the transaction first writes.
    m_waitingForCheckpoint = m_journalPages >= restartPages && m_checkpointer.isBusy();
    return true;
}

bool DataBaseWrapper::writeRow(size_t offset, bool report)
{
    if (!begin())
        return false;
    const RowView row = m_transaction.view(offset);
    if (report) {
        const char* text = eventKind(row.kind).insert;
        sqlite3_stmt* statement = insertStatement(row.kind, true);
        const RowView* rows[] = {&row};
        const int code = statement ? stepInsert(statement, row.kind, rows, 1) : sqlite3_errcode(m_db);
        if (statement && code == SQLITE_DONE)
            reportStatement(QString(), QString(), text);
        else if (statement)
            reportStatement(QLatin1String(stepFailed), QString::fromUtf8(sqlite3_errmsg(m_db)), text);
        if (code != SQLITE_DONE) {
            recover(code);
            return false;
        }
        return true;
    }
    std::vector<size_t>& gathered = m_gathered[size_t(row.kind)];
    gathered.push_back(offset);
    if (gathered.size() < statementRows.front())
        return true;
    if (m_waitingForCheckpoint && m_checkpointer.isBusy())
        return true;
    m_waitingForCheckpoint = false;
    const int code = writeGathered(row.kind, false);
    if (code != SQLITE_DONE) {
        recover(code);
        return false;
    }
    return true;
}

int DataBaseWrapper::writeGathered(EventKindId kind, bool all)
{
    std::vector<size_t>& gathered = m_gathered[size_t(kind)];
    std::array<RowView, statementRows.front()> views;
    std::array<const RowView*, statementRows.front()> rows;
    size_t written = 0;
    for (const size_t size : statementRows) {
        if (!all && size != statementRows.front())
            break;
        while (gathered.size() - written >= size) {
            sqlite3_stmt* statement = multiRowStatement(kind, size);
            if (!statement)
                return sqlite3_errcode(m_db);
            for (size_t r = 0; r < size; ++r) {
                views[r] = m_transaction.view(gathered[written + r]);
                rows[r] = &views[r];
            }
            const int code = stepInsert(statement, kind, rows.data(), size);
            if (code != SQLITE_DONE)
                return code;
            written += size;
        }
    }
    gathered.erase(gathered.begin(), gathered.begin() + qsizetype(written));
    return SQLITE_DONE;
}

int DataBaseWrapper::writeAllGathered()
{
    for (EventKindId kind : tableCreationOrder()) {
        if (m_gathered[size_t(kind)].empty())
            continue;
        const int code = writeGathered(kind, true);
        if (code != SQLITE_DONE)
            return code;
    }
    return SQLITE_DONE;
}

bool DataBaseWrapper::transactionFull() const
{
    return m_transaction.rows() >= maxTransactionRows || m_transaction.bytes() >= maxTransactionBytes;
}

void DataBaseWrapper::insertRow(const RowView& row)
{
    if (!m_db) {
        if (debugLevel >= 3)
            reportStatement(QLatin1String(notOpen), QString(), eventKind(row.kind).insert);
        loseRow(row.kind, m_errorString);
        return;
    }
    // Between calls from the event loop a retry has committed or given back every row it took.
    Q_ASSERT(m_held.empty() || m_transaction.empty());
    if (!m_held.empty()) {
        holdRow(row);
        return;
    }
    // A statement report names the statement of each row, so rows reported go one to a statement.
    if (!writeRow(m_transaction.append(row), debugLevel >= 3))
        return;
    if (transactionFull()
        || (m_transaction.rows() % rowsPerAgeCheck == 0 && m_transactionAge.hasExpired(maxTransactionAgeMs)))
        commit();
}

void DataBaseWrapper::commit()
{
    finishTransaction(mapBudgetInCommitMs);
}

bool DataBaseWrapper::finishTransaction(int mapBudgetMs)
{
    m_commitTimer.stop();
    if (!m_inTransaction)
        return true;
    int code = writeAllGathered();
    if (code == SQLITE_DONE)
        code = m_timeMap->write(mapBudgetMs);
    if (!failed(code))
        code = step(m_commit);
    if (code != SQLITE_DONE) {
        recover(code);
        return false;
    }
    // Every row of the transaction was written before its COMMIT.
    Q_ASSERT(std::all_of(m_gathered.cbegin(), m_gathered.cend(), [](const std::vector<size_t>& g) { return g.empty(); }));
    m_inTransaction = false;
    m_waitingForCheckpoint = false;
    m_timeMap->committed();
    countCommitted(m_transaction.rows(), m_transaction.events());
    m_transaction.clear();
    emit committed();
    if (m_mappingSince.isValid() && !m_timeMap->hasBacklog()) {
        qDebug() << QStringLiteral("Mapped the times of the database's rows in %1 s.")
                        .arg(double(m_mappingSince.elapsed()) / 1000.0, 0, 'f', 1);
        m_mappingSince.invalidate();
    }
    if (m_timeMap->hasBacklog() && !m_mapTimer.isActive())
        m_mapTimer.start(mapRestMs);
    return true;
}

void DataBaseWrapper::countCommitted(quint64 rows, quint64 events)
{
    daemonCounters().rowsStored += rows;
    daemonCounters().eventsStored += events;
}

void DataBaseWrapper::rollBack()
{
    if (!sqlite3_get_autocommit(m_db))
        step(m_rollback);
    m_inTransaction = false;
    m_waitingForCheckpoint = false;
    m_commitTimer.stop();
    for (std::vector<size_t>& gathered : m_gathered)
        gathered.clear();
    m_timeMap->rolledBack();
}

void DataBaseWrapper::recover(int code)
{
    const QString error = lastError();
    const char* table = m_failedTable;
    rollBack();
    Q_ASSERT(!m_inTransaction && sqlite3_get_autocommit(m_db));
    RowBuffer rows;
    std::swap(rows, m_transaction);
    if (rows.empty())
        return;
    if (mayPass(code)) {
        startHolding(table ? QStringLiteral("table %1: %2").arg(QLatin1String(table), error) : error);
        holdInFront(std::move(rows));
        return;
    }
    replay(std::move(rows));
}

void DataBaseWrapper::replay(RowBuffer rows)
{
    std::vector<size_t> offsets;
    for (size_t offset = 0; offset < rows.bytes();) {
        offsets.push_back(offset);
        rows.view(offset, &offset);
    }
    std::vector<bool> lost(offsets.size(), false);
    // Holds the rows from index first on that are not lost, and reports why.
    const auto holdFrom = [&](size_t first, const QString& cause) {
        RowBuffer kept;
        for (size_t i = first; i < offsets.size(); ++i) {
            if (!lost[i])
                kept.append(rows.view(offsets[i]));
        }
        startHolding(cause);
        holdInFront(std::move(kept));
    };
    size_t next = 0;
    while (next < offsets.size()) {
        int code = step(m_begin);
        if (code != SQLITE_DONE) {
            holdFrom(next, lastError());
            return;
        }
        // The rows of this transaction run from first to next, lost ones left out.
        const size_t first = next;
        size_t rowsWritten = 0;
        quint64 events = 0;
        bool again = false;
        while (next < offsets.size() && rowsWritten < maxTransactionRows) {
            if (lost[next]) {
                ++next;
                continue;
            }
            const RowView row = rows.view(offsets[next]);
            sqlite3_stmt* statement = insertStatement(row.kind, false);
            const RowView* one[] = {&row};
            code = statement ? stepInsert(statement, row.kind, one, 1) : sqlite3_errcode(m_db);
            if (code == SQLITE_DONE) {
                ++rowsWritten;
                events += row.endsEvent ? 1 : 0;
                ++next;
                continue;
            }
            const QString error = lastError();
            if (mayPass(code)) {
                rollBack();
                holdFrom(first, QStringLiteral("table %1: %2").arg(QLatin1String(tableName(row.kind)), error));
                return;
            }
            lost[next] = true;
            loseRow(row.kind, error);
            if (sqlite3_get_autocommit(m_db)) {
                // The failure rolled the transaction back: its rows before this one are written again.
                rollBack();
                next = first;
                again = true;
                break;
            }
            ++next;
        }
        if (again)
            continue;
        code = m_timeMap->write(0);
        if (!failed(code))
            code = step(m_commit);
        if (code != SQLITE_DONE) {
            const QString error = lastError();
            rollBack();
            if (mayPass(code)) {
                holdFrom(first, error);
                return;
            }
            // A COMMIT refused for a cause of the database itself: its rows cannot be kept there.
            for (size_t i = first; i < next; ++i) {
                if (!lost[i]) {
                    lost[i] = true;
                    loseRow(rows.view(offsets[i]).kind, error);
                }
            }
            continue;
        }
        m_timeMap->committed();
        countCommitted(rowsWritten, events);
        emit committed();
    }
}

void DataBaseWrapper::startHolding(const QString& cause)
{
    m_heldAgain = true;
    if (m_holding)
        return;
    m_holding = true;
    m_storedBeforeHolding = daemonCounters().rowsStored;
    qCritical() << QStringLiteral("Holding rows in memory until the database takes them again: %1").arg(cause);
}

void DataBaseWrapper::holdInFront(RowBuffer rows)
{
    m_held.pushFront(std::move(rows));
    syncHeldCount();
    if (!m_held.empty() && !m_retryTimer.isActive())
        m_retryTimer.start(retryIntervalMs);
}

void DataBaseWrapper::holdRow(const RowView& row)
{
    if (m_held.bytes() + qint64(RowBuffer::encodedSize(row)) > m_maxHeldBytes) {
        ++daemonCounters().rowsLost;
        ++m_lostPastBound;
        if (!m_boundReported) {
            m_boundReported = true;
            qCritical() << QStringLiteral("The rows held in memory reached %1 bytes: newer rows are lost until the "
                                          "database takes rows again.")
                               .arg(m_maxHeldBytes);
        }
        return;
    }
    m_held.pushBack(row);
    syncHeldCount();
    if (!m_retryTimer.isActive())
        m_retryTimer.start(retryIntervalMs);
}

void DataBaseWrapper::syncHeldCount()
{
    daemonCounters().rowsHeld = m_held.rows();
}

void DataBaseWrapper::retryHeld(int budgetMs)
{
    m_heldAgain = false;
    if (!finishTransaction(mapBudgetInCommitMs))
        return;
    const QDeadlineTimer deadline = budgetMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(budgetMs);
    while (!m_held.empty() && !m_heldAgain) {
        // One transaction's worth from the front; a failure puts the transaction's rows back in front.
        while (!m_held.empty() && !transactionFull()) {
            const size_t offset = m_transaction.append(m_held.front());
            m_held.popFront();
            if (!writeRow(offset, false))
                break;
        }
        if (m_heldAgain || !finishTransaction(mapBudgetInCommitMs) || deadline.hasExpired())
            break;
    }
    syncHeldCount();
    if (!m_held.empty()) {
        if (!m_retryTimer.isActive())
            m_retryTimer.start(m_heldAgain ? retryIntervalMs : 0);
        return;
    }
    m_retryTimer.stop();
    if (!m_holding)
        return;
    const quint64 stored = daemonCounters().rowsStored - m_storedBeforeHolding;
    QString text = QStringLiteral("The database takes rows again: stored %1 held in memory.").arg(rowCount(stored));
    if (m_lostPastBound != 0)
        text += QStringLiteral(" Lost %1 beyond the bound of %2 bytes.").arg(rowCount(m_lostPastBound)).arg(m_maxHeldBytes);
    qCritical() << text;
    m_holding = false;
    m_lostPastBound = 0;
    m_boundReported = false;
}

void DataBaseWrapper::mapBacklog()
{
    if (!m_db || !m_timeMap->hasBacklog() || m_inTransaction || !m_held.empty())
        return;
    if (begin())
        finishTransaction(mapBudgetIdleMs);
    // A failure leaves the rows to map for later.
    if (m_timeMap->hasBacklog() && !m_mapTimer.isActive())
        m_mapTimer.start(retryIntervalMs);
}

void DataBaseWrapper::loseRow(EventKindId kind, const QString& error)
{
    ++daemonCounters().rowsFailed;
    ++daemonCounters().rowsLost;
    const QLatin1String name(tableName(kind));
    if (debugLevel >= 3)
        qCritical() << QStringLiteral("Failed to store a row in table %1: %2").arg(name, error);
    FailureSummary& summary = m_failures[size_t(kind)];
    ++summary.count;
    summary.error = error;
    if (!summary.sinceReport.isValid() || summary.sinceReport.hasExpired(failureReportGapMs))
        reportFailures(false);
    else if (!m_failureTimer.isActive())
        m_failureTimer.start(int(qMax<qint64>(failureReportGapMs - summary.sinceReport.elapsed(), 1)));
}

void DataBaseWrapper::reportFailures(bool all)
{
    qint64 nextInMs = -1;
    for (EventKindId kind : tableCreationOrder()) {
        FailureSummary& summary = m_failures[size_t(kind)];
        if (summary.count == 0)
            continue;
        const bool due = all || !summary.sinceReport.isValid() || summary.sinceReport.hasExpired(failureReportGapMs);
        if (!due) {
            const qint64 wait = failureReportGapMs - summary.sinceReport.elapsed();
            nextInMs = nextInMs < 0 ? wait : qMin(nextInMs, wait);
            continue;
        }
        qCritical() << QStringLiteral("Failed to store %1 in table %2: %3")
                           .arg(rowCount(summary.count), QLatin1String(tableName(kind)), summary.error);
        summary.count = 0;
        summary.sinceReport.start();
    }
    if (nextInMs >= 0)
        m_failureTimer.start(int(qMax<qint64>(nextInMs, 1)));
}

void DataBaseWrapper::newLogEvent(LogEvent* event)
{
    const EventKind* last = nullptr;
    for (const EventKind& kind : eventKinds()) {
        if (kind.carried(*event))
            last = &kind;
    }
    // An event without payload has nothing to store: it is stored as it is.
    if (!last) {
        ++daemonCounters().eventsStored;
        return;
    }
    for (const EventKind& kind : eventKinds()) {
        if (const google::protobuf::Message* payload = kind.carried(*event))
            insertPayload(kind, *payload, &kind == last);
    }
}

void DataBaseWrapper::insertPayload(const EventKind& kind, const google::protobuf::Message& payload, bool endsEvent)
{
    RowView row;
    row.kind = kind.id;
    row.endsEvent = endsEvent;
    kind.read(payload, row.values);
    for (int c = 0; c < kind.columnCount; ++c) {
        if (kind.columns[size_t(c)].storage == Storage::Text)
            row.values.texts[size_t(c)] = storedText(row.values.texts[size_t(c)], m_repaired[size_t(c)]);
    }
    insertRow(row);
}

void DataBaseWrapper::handleDumps(const CoreDump& msg)
{
    insertPayload(eventKind(EventKindId::CoreDump), msg, true);
}

void DataBaseWrapper::handleReboots(const Reboot& msg)
{
    insertPayload(eventKind(EventKindId::Reboot), msg, true);
}

void DataBaseWrapper::handleWatchdogs(const WatchDog& msg)
{
    insertPayload(eventKind(EventKindId::WatchDog), msg, true);
}

void DataBaseWrapper::handleJoinlayers(const JoinLayer& msg)
{
    insertPayload(eventKind(EventKindId::JoinLayer), msg, true);
}

void DataBaseWrapper::handleSpecfiles(const SpecfileUse& msg)
{
    insertPayload(eventKind(EventKindId::SpecfileUse), msg, true);
}

void DataBaseWrapper::handleSystemloads(const SystemLoad& msg)
{
    insertPayload(eventKind(EventKindId::SystemLoad), msg, true);
}

void DataBaseWrapper::handleMachines(const MachineConfig& msg)
{
    insertPayload(eventKind(EventKindId::MachineConfig), msg, true);
}

void DataBaseWrapper::handleGeneric(const GenericLogMsg& msg)
{
    insertPayload(eventKind(EventKindId::GenericLogMsg), msg, true);
}
