#include "databasewrapper.h"

#include "configsettings.h"
#include "daemoncounters.h"
#include "programmessagehandler.h"
#include "storedtext.h"

#include <QDebug>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Limits of one transaction. The age bounds the delay before a row is committed: a timer
// commits a transaction that old when the event loop is idle, and the next row does while
// datagrams keep coming. Committing less often than at every notification saves the rewrite of
// the tables' last pages. The sizes bound the memory that the rows kept for a replay take.
constexpr int maxTransactionAgeMs = 40;
constexpr size_t maxTransactionRows = 8192;
constexpr qint64 maxTransactionBytes = 4 * 1024 * 1024;
// The age is read from the clock once per this many rows: at a flood's rate a clock read costs
// more than the check saves, and 64 rows arrive within a millisecond.
constexpr size_t rowsPerAgeCheck = 64;
// SQLite's page cache, in KiB (a negative cache_size). Rows a few seconds out of order land all over
// the last seconds of each time index; 8 MiB keeps those pages cached at 100,000 events/s, where the
// default 2 MiB read most of them back for every commit.
constexpr int pageCacheKiB = 8192;

// Held rows are written again this often, and a table's failures summarised at most this often.
constexpr int retryIntervalMs = 1000;
constexpr qint64 failureReportGapMs = 1000;

// Another process holding the write lock delays rows for up to this long instead of losing them.
const char connectOptions[] = "QSQLITE_BUSY_TIMEOUT=10000";

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

// Built only when shown: at a flood's rate, formatting the report would cost more than the row.
void reportStatement(const QSqlQuery& query)
{
    if (debugLevel < 3)
        return;
    const QSqlError error = query.lastError();
    qDebug() << error.driverText() << error.databaseText() << query.executedQuery();
}

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

void DataBaseWrapper::RowFields::assign(const RowView& view, std::string& text)
{
    const EventKind& described = eventKind(view.kind);
    kind = view.kind;
    time = view.values.time;
    numbers = view.values.numbers;
    for (int c = 0; c < described.columnCount; ++c) {
        const std::string_view value = view.values.texts[size_t(c)];
        textLengths[size_t(c)] = quint32(value.size());
        text.append(value);
    }
}

DataBaseWrapper::RowView DataBaseWrapper::RowFields::viewOver(std::string_view text) const
{
    RowView view {kind, {}};
    view.values.time = time;
    view.values.numbers = numbers;
    size_t offset = 0;
    for (int c = 0; c < eventKind(kind).columnCount; ++c) {
        view.values.texts[size_t(c)] = text.substr(offset, textLengths[size_t(c)]);
        offset += textLengths[size_t(c)];
    }
    return view;
}

void DataBaseWrapper::Row::assign(const RowView& view)
{
    text.clear();
    RowFields::assign(view, text);
}

qint64 DataBaseWrapper::Row::bytes() const
{
    return qint64(sizeof(Row) + text.capacity());
}

DataBaseWrapper::DataBaseWrapper(const ConfigSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
{
    // One thread uses the connection, so SQLite's locks and its memory statistics are cost without
    // use. Takes effect only before SQLite's first connection of the process.
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setHostName(QStringLiteral("localhost"));
    db.setDatabaseName(m_settings.getDBPath());
    db.setConnectOptions(QLatin1String(connectOptions));
    if (db.open()) {
        tuneConnection();
        // The rows go straight to SQLite: Qt still opens and owns the connection.
        const QVariant handle = db.driver()->handle();
        if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0)
            m_db = *static_cast<sqlite3* const*>(handle.constData());
    } else {
        m_errorString = db.lastError().text();
    }
    createTables();
    if (m_db) {
        sqlite3_prepare_v3(m_db, "BEGIN", -1, SQLITE_PREPARE_PERSISTENT, &m_begin, nullptr);
        sqlite3_prepare_v3(m_db, "COMMIT", -1, SQLITE_PREPARE_PERSISTENT, &m_commit, nullptr);
        sqlite3_prepare_v3(m_db, "ROLLBACK", -1, SQLITE_PREPARE_PERSISTENT, &m_rollback, nullptr);
    }

    m_commitTimer.setSingleShot(true);
    m_commitTimer.setInterval(maxTransactionAgeMs);
    connect(&m_commitTimer, &QTimer::timeout, this, &DataBaseWrapper::commit);
    m_retryTimer.setInterval(retryIntervalMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &DataBaseWrapper::retryHeld);
    m_failureTimer.setSingleShot(true);
    connect(&m_failureTimer, &QTimer::timeout, this, [this] { reportFailures(false); });
}

DataBaseWrapper::~DataBaseWrapper()
{
    commit();
    reportFailures(true);
    for (sqlite3_stmt* statement : m_inserts)
        sqlite3_finalize(statement);
    for (const auto& statements : m_multiRowInserts) {
        for (sqlite3_stmt* statement : statements)
            sqlite3_finalize(statement);
    }
    sqlite3_finalize(m_begin);
    sqlite3_finalize(m_commit);
    sqlite3_finalize(m_rollback);
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
        retryHeld();
    commit();
    return int(m_held.size());
}

// With a write-ahead journal, synchronous=NORMAL commits without waiting for the disk, and a
// crashed or killed daemon still loses no committed transaction; only a power cut may take the
// last ones, never the database's integrity.
void DataBaseWrapper::tuneConnection()
{
    QSqlQuery query;
    const bool wal = query.exec(QStringLiteral("PRAGMA journal_mode=WAL")) && query.next()
                     && query.value(0).toString() == QLatin1String("wal");
    query.exec(QStringLiteral("PRAGMA cache_size=-%1").arg(pageCacheKiB));
    if (wal)
        query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    else
        qDebug() << QStringLiteral("Write-ahead journal not available: rows are committed with the default journal.");
}

// The tables first, then an index on each table's time for readers that select time windows. One
// transaction, so that a disk running full meanwhile leaves no half-made schema, and whoever sees one
// table sees all of them.
void DataBaseWrapper::createTables()
{
    QSqlDatabase db = QSqlDatabase::database();
    const bool inTransaction = db.isOpen() && db.transaction();
    QSqlQuery query;
    QStringList statements{QLatin1String(schemaVersionCreate)};
    QStringList tables{QLatin1String(schemaVersionTable)};
    for (EventKindId kind : tableCreationOrder()) {
        statements << QLatin1String(eventKind(kind).createTable);
        tables << QLatin1String(tableName(kind));
    }
    for (const QString& table : qAsConst(tables))
        statements << QStringLiteral("CREATE INDEX IF NOT EXISTS %1_time ON %1(time)").arg(table);
    for (const QString& statement : qAsConst(statements)) {
        const bool created = query.exec(statement);
        reportStatement(query);
        if (!created && m_errorString.isEmpty())
            m_errorString = query.lastError().text();
    }
    query.finish();
    if (!inTransaction)
        return;
    if (!m_errorString.isEmpty())
        db.rollback();
    else if (!db.commit())
        m_errorString = db.lastError().text();
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
    if (!m_db) {
        if (report)
            reportStatement(QLatin1String(notOpen), QString(), text);
        return nullptr;
    }
    // Prepared again for the next row when this fails, once the cause may have gone.
    if (sqlite3_prepare_v3(m_db, text, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        m_failedStep = prepareFailed;
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
    if (statement || !m_db)
        return statement;
    const std::string text = insertText(kind, size);
    if (sqlite3_prepare_v3(m_db, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        m_failedStep = prepareFailed;
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    return statement;
}

int DataBaseWrapper::step(sqlite3_stmt* statement)
{
    const int code = sqlite3_step(statement);
    sqlite3_reset(statement);
    return code;
}

bool DataBaseWrapper::begin()
{
    if (m_inTransaction || !m_begin)
        return m_inTransaction;
    m_inTransaction = step(m_begin) == SQLITE_DONE;
    if (m_inTransaction) {
        m_transactionAge.start();
        m_commitTimer.start();
    }
    return m_inTransaction;
}

int DataBaseWrapper::write(const RowView& row, bool report, bool inTransaction)
{
    if (inTransaction)
        begin();
    sqlite3_stmt* statement = insertStatement(row.kind, report);
    if (!statement)
        return m_db ? sqlite3_errcode(m_db) : SQLITE_MISUSE;
    const EventKind& kind = eventKind(row.kind);
    bind(statement, 1, row);
    const int code = sqlite3_step(statement);
    m_failedStep = stepFailed;
    if (report) {
        if (code == SQLITE_DONE)
            reportStatement(QString(), QString(), kind.insert);
        else
            reportStatement(QLatin1String(stepFailed), QString::fromUtf8(sqlite3_errmsg(m_db)), kind.insert);
    }
    sqlite3_reset(statement);
    if (code != SQLITE_DONE)
        return code;
    if (!m_inTransaction) {
        ++daemonCounters().eventsStored;
        emit committed();
        return code;
    }
    appendPending(row);
    return code;
}

void DataBaseWrapper::bind(sqlite3_stmt* statement, int firstParameter, const RowView& row)
{
    // SQLite integers are signed 64-bit: the same bits keep every unsigned value exactly, and
    // values below 2^63 unchanged; a reader recovers larger ones by casting back.
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

size_t DataBaseWrapper::appendPending(const RowView& row)
{
    if (m_pendingCount == m_pending.size())
        m_pending.emplace_back();
    PendingRow& copy = m_pending[m_pendingCount];
    copy.textOffset = m_pendingText.size();
    copy.assign(row, m_pendingText);
    return m_pendingCount++;
}

DataBaseWrapper::RowView DataBaseWrapper::pendingView(size_t slot) const
{
    return m_pending[slot].viewOver(std::string_view(m_pendingText).substr(m_pending[slot].textOffset));
}

DataBaseWrapper::Row DataBaseWrapper::pendingRow(size_t slot) const
{
    Row row;
    row.assign(pendingView(slot));
    return row;
}

void DataBaseWrapper::gather(const RowView& row)
{
    std::vector<size_t>& gathered = m_gathered[size_t(row.kind)];
    gathered.push_back(appendPending(row));
    if (gathered.size() == statementRows.front())
        writeGathered(row.kind);
}

void DataBaseWrapper::writeGathered(EventKindId kind)
{
    std::vector<size_t>& gathered = m_gathered[size_t(kind)];
    const int parameters = eventKind(kind).columnCount + 1;
    size_t written = 0;
    for (const size_t size : statementRows) {
        while (gathered.size() - written >= size) {
            sqlite3_stmt* statement = multiRowStatement(kind, size);
            int code = m_db ? sqlite3_errcode(m_db) : SQLITE_MISUSE;
            if (statement) {
                for (size_t r = 0; r < size; ++r)
                    bind(statement, int(r) * parameters + 1, pendingView(gathered[written + r]));
                code = sqlite3_step(statement);
                m_failedStep = stepFailed;
                sqlite3_reset(statement);
            }
            if (code != SQLITE_DONE) {
                gathered.erase(gathered.begin(), gathered.begin() + qsizetype(written));
                recoverGathered(kind, code);
                return;
            }
            written += size;
        }
    }
    gathered.clear();
}

void DataBaseWrapper::writeAllGathered()
{
    for (EventKindId kind : tableCreationOrder()) {
        if (!m_gathered[size_t(kind)].empty())
            writeGathered(kind);
    }
}

std::deque<DataBaseWrapper::Row> DataBaseWrapper::takeGathered()
{
    std::vector<size_t> unwritten;
    for (std::vector<size_t>& gathered : m_gathered) {
        unwritten.insert(unwritten.end(), gathered.begin(), gathered.end());
        gathered.clear();
    }
    std::sort(unwritten.begin(), unwritten.end());
    std::deque<Row> rows;
    size_t kept = 0;
    auto next = unwritten.cbegin();
    // Every text stays in the buffer, and counts towards its bound, until the commit; only the slots of
    // the rows kept move up.
    for (size_t i = 0; i < m_pendingCount; ++i) {
        if (next != unwritten.cend() && *next == i) {
            rows.push_back(pendingRow(i));
            ++next;
            continue;
        }
        if (kept != i)
            m_pending[kept] = m_pending[i];
        ++kept;
    }
    m_pendingCount = kept;
    return rows;
}

void DataBaseWrapper::recoverGathered(EventKindId kind, int code)
{
    std::deque<Row> rows;
    if (m_inTransaction && sqlite3_get_autocommit(m_db)) {
        // The failure rolled the whole transaction back: all of its rows are written again.
        m_inTransaction = false;
        m_commitTimer.stop();
        rows = takePending();
    } else {
        rows = takeGathered();
    }
    if (mayPass(code)) {
        holdAfterFailure(kind, std::move(rows));
        return;
    }
    // One row by one, so that only the rows that fail by themselves are lost.
    while (!rows.empty()) {
        const int rowCode = write(rows.front().view(), false);
        if (rowCode != SQLITE_DONE) {
            recover(std::move(rows), rowCode);
            return;
        }
        rows.pop_front();
    }
}

void DataBaseWrapper::insertRow(const RowView& row)
{
    if (!m_held.empty()) {
        holdRow(row);
        return;
    }
    // A statement report names the statement of each row, so rows reported go one to a statement.
    if (debugLevel < 3 && begin()) {
        gather(row);
    } else {
        const int code = write(row, true);
        if (code != SQLITE_DONE) {
            Row failed;
            failed.assign(row);
            recover(std::deque<Row>{std::move(failed)}, code);
            return;
        }
    }
    if (transactionFull() || (m_pendingCount % rowsPerAgeCheck == 0 && m_transactionAge.hasExpired(maxTransactionAgeMs)))
        commit();
}

void DataBaseWrapper::clearPending()
{
    m_pendingCount = 0;
    // The commit at maxTransactionBytes bounds the buffer that is kept.
    m_pendingText.clear();
}

bool DataBaseWrapper::transactionFull() const
{
    return m_pendingCount >= maxTransactionRows || qint64(m_pendingText.size()) >= maxTransactionBytes;
}

std::deque<DataBaseWrapper::Row> DataBaseWrapper::takePending()
{
    std::deque<Row> rows;
    for (size_t i = 0; i < m_pendingCount; ++i)
        rows.push_back(pendingRow(i));
    clearPending();
    for (std::vector<size_t>& gathered : m_gathered)
        gathered.clear();
    return rows;
}

void DataBaseWrapper::recover(std::deque<Row> rows, int code)
{
    for (;;) {
        // Some failures roll the whole transaction back: its rows are written again, in front.
        std::deque<Row> rolledBack;
        if (m_inTransaction && sqlite3_get_autocommit(m_db)) {
            m_inTransaction = false;
            m_commitTimer.stop();
            rolledBack = takePending();
        }
        if (mayPass(code)) {
            const EventKindId failed = rows.front().kind;
            rolledBack.insert(rolledBack.end(), std::make_move_iterator(rows.begin()),
                              std::make_move_iterator(rows.end()));
            holdAfterFailure(failed, std::move(rolledBack));
            return;
        }
        loseRow(rows.front().kind, lastError());
        rows.pop_front();
        rows.insert(rows.begin(), std::make_move_iterator(rolledBack.begin()),
                    std::make_move_iterator(rolledBack.end()));
        code = SQLITE_DONE;
        while (!rows.empty() && code == SQLITE_DONE) {
            code = write(rows.front().view(), false);
            if (code == SQLITE_DONE)
                rows.pop_front();
        }
        if (rows.empty())
            return;
    }
}

void DataBaseWrapper::holdAfterFailure(EventKindId kind, std::deque<Row> rows)
{
    // What is still in the transaction comes before these rows; committing it puts it back at the
    // head of the held rows should the commit fail too.
    const QString error = lastError();
    commit();
    startHolding(QStringLiteral("table %1: %2").arg(QLatin1String(tableName(kind)), error));
    for (const Row& row : rows)
        holdRow(row.view());
}

void DataBaseWrapper::holdRow(const RowView& row)
{
    Row copy;
    copy.assign(row);
    if (m_heldBytes + copy.bytes() > m_maxHeldBytes) {
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
    m_heldBytes += copy.bytes();
    m_held.push_back(std::move(copy));
    syncHeldCount();
    if (!m_retryTimer.isActive())
        m_retryTimer.start();
}

void DataBaseWrapper::holdAtFront(std::deque<Row> rows)
{
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        m_heldBytes += row->bytes();
        m_held.push_front(std::move(*row));
    }
    syncHeldCount();
    if (!m_held.empty() && !m_retryTimer.isActive())
        m_retryTimer.start();
}

void DataBaseWrapper::syncHeldCount()
{
    daemonCounters().rowsHeld = m_held.size();
}

void DataBaseWrapper::retryHeld()
{
    while (!m_held.empty()) {
        const int code = write(m_held.front().view(), false);
        if (code == SQLITE_DONE) {
            m_heldBytes -= m_held.front().bytes();
            m_held.pop_front();
            if (transactionFull())
                commit();
            continue;
        }
        // The rows written in this try go back in front when the failure rolled them back.
        size_t failed = 0;
        if (m_inTransaction && sqlite3_get_autocommit(m_db)) {
            m_inTransaction = false;
            m_commitTimer.stop();
            std::deque<Row> rows = takePending();
            failed = rows.size();
            holdAtFront(std::move(rows));
        }
        if (mayPass(code))
            break;
        const auto lost = m_held.begin() + qsizetype(failed);
        loseRow(lost->kind, lastError());
        m_heldBytes -= lost->bytes();
        m_held.erase(lost);
    }
    commit();
    syncHeldCount();
    if (!m_held.empty())
        return;
    m_retryTimer.stop();
    if (!m_holding)
        return;
    const quint64 stored = daemonCounters().eventsStored - m_heldStoredBefore;
    QString text = QStringLiteral("The database takes rows again: stored %1 held in memory.").arg(rowCount(stored));
    if (m_lostPastBound != 0)
        text += QStringLiteral(" Lost %1 beyond the bound of %2 bytes.").arg(rowCount(m_lostPastBound)).arg(m_maxHeldBytes);
    qCritical() << text;
    m_holding = false;
    m_lostPastBound = 0;
    m_boundReported = false;
}

void DataBaseWrapper::startHolding(const QString& cause)
{
    if (m_holding)
        return;
    m_holding = true;
    m_heldStoredBefore = daemonCounters().eventsStored;
    qCritical() << QStringLiteral("Holding rows in memory until the database takes them again: %1").arg(cause);
}

void DataBaseWrapper::loseRow(EventKindId kind, const QString& error)
{
    ++daemonCounters().rowsFailed;
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

void DataBaseWrapper::commit()
{
    m_commitTimer.stop();
    writeAllGathered();
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    const int code = step(m_commit);
    m_failedStep = stepFailed;
    if (code == SQLITE_DONE) {
        daemonCounters().eventsStored += m_pendingCount;
        clearPending();
        emit committed();
        return;
    }
    if (!sqlite3_get_autocommit(m_db))
        step(m_rollback);
    std::deque<Row> rows = takePending();
    if (mayPass(code)) {
        if (!rows.empty())
            startHolding(lastError());
        holdAtFront(std::move(rows));
        return;
    }
    // The transaction cannot be committed: each of its rows is stored by itself, so that a failure
    // loses only the rows that fail again.
    for (const Row& row : rows) {
        const int rowCode = write(row.view(), false, false);
        if (rowCode == SQLITE_DONE)
            continue;
        if (mayPass(rowCode)) {
            startHolding(lastError());
            holdRow(row.view());
        } else {
            loseRow(row.kind, lastError());
        }
    }
}

void DataBaseWrapper::newLogEvent(LogEvent* event)
{
    for (const EventKind& kind : eventKinds()) {
        if (const google::protobuf::Message* payload = kind.carried(*event))
            insertPayload(kind, *payload);
    }
}

void DataBaseWrapper::insertPayload(const EventKind& kind, const google::protobuf::Message& payload)
{
    RowView row {kind.id, {}};
    kind.read(payload, row.values);
    for (int c = 0; c < kind.columnCount; ++c) {
        if (kind.columns[size_t(c)].storage == Storage::Text)
            row.values.texts[size_t(c)] = storedText(row.values.texts[size_t(c)], m_repaired[size_t(c)]);
    }
    insertRow(row);
}

void DataBaseWrapper::handleDumps(const CoreDump& msg)
{
    insertPayload(eventKind(EventKindId::CoreDump), msg);
}

void DataBaseWrapper::handleReboots(const Reboot& msg)
{
    insertPayload(eventKind(EventKindId::Reboot), msg);
}

void DataBaseWrapper::handleWatchdogs(const WatchDog& msg)
{
    insertPayload(eventKind(EventKindId::WatchDog), msg);
}

void DataBaseWrapper::handleJoinlayers(const JoinLayer& msg)
{
    insertPayload(eventKind(EventKindId::JoinLayer), msg);
}

void DataBaseWrapper::handleSpecfiles(const SpecfileUse& msg)
{
    insertPayload(eventKind(EventKindId::SpecfileUse), msg);
}

void DataBaseWrapper::handleSystemloads(const SystemLoad& msg)
{
    insertPayload(eventKind(EventKindId::SystemLoad), msg);
}

void DataBaseWrapper::handleMachines(const MachineConfig& msg)
{
    insertPayload(eventKind(EventKindId::MachineConfig), msg);
}

void DataBaseWrapper::handleGeneric(const GenericLogMsg& msg)
{
    insertPayload(eventKind(EventKindId::GenericLogMsg), msg);
}
