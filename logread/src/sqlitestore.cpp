#include "sqlitestore.h"

#include <QFileInfo>
#include <QHash>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <thread>

namespace {

// Rows read by one statement: a page is read in a few milliseconds, and the memory it takes stays small.
constexpr int pageRows = 1000;
// Through the time map, a time-ordered read goes in parts of about this many rows, each read by one statement
// (rows of a part are sorted together, so a part is not split into pages unless it holds more than twice this);
// a part that yields far fewer, as with a match that few rows meet, makes the next one larger, up to maxSliceRows.
constexpr qint64 sliceRows = 4096;
constexpr qint64 maxSliceRows = 1 << 20;
constexpr qint64 bucketSpan = qint64(1) << timeBucketShift;
constexpr qint64 earliest = std::numeric_limits<qint64>::min();
constexpr qint64 latest = std::numeric_limits<qint64>::max();
// A reader waits this long for the rare locks of a WAL recovery or a rollback-journal commit.
constexpr int busyTimeoutMs = 5000;
// The sleep between two tries for a lock, short enough to take a stop request at once.
constexpr int busyRetryMs = 10;

struct StatementDeleter
{
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

void readRow(sqlite3_stmt* statement, size_t tableIndex, EventRow& row)
{
    const EventTable& table = eventTables()[tableIndex];
    row.table = static_cast<int>(tableIndex);
    row.rowId = sqlite3_column_int64(statement, 0);
    row.time = sqlite3_column_int64(statement, 1);
    row.sentToMasterDB = sqlite3_column_int64(statement, 2);
    for (int c = 0; c < table.columnCount; ++c) {
        QByteArray& value = row.values[static_cast<size_t>(c)];
        if (table.columns[c].storage == Storage::Integer) {
            value = QByteArray::number(static_cast<quint64>(sqlite3_column_int64(statement, c + 3)));
        } else {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c + 3));
            value = QByteArray(text, sqlite3_column_bytes(statement, c + 3));
        }
    }
}

// The rows of a query a page at a time, each page one statement run to its end: no read transaction stays open while
// the rows wait to be taken, so the daemon's checkpoints go on behind a reader on a full pipe. Through the time map, a
// time-ordered read goes slice by slice, each a span of time read in the query's order, in pages.
class SqliteRowStream : public RowStream
{
public:
    // With a position, each row read sets it to the row's rowID.
    SqliteRowStream(SqliteStore& store, const TableQuery& query, qint64* position)
        : m_store(store)
        , m_query(query)
        , m_position(position)
        , m_remaining(query.limit)
        , m_sliced(query.timeMapMark && query.order != TableQuery::Order::RowIdAscending)
        , m_ascending(query.order == TableQuery::Order::TimeAscending)
        , m_sliceStart(m_ascending ? query.since.value_or(earliest) : query.until.value_or(latest))
        , m_target(std::min(sliceRows, query.limit.value_or(sliceRows)))
    {
    }

    bool next(EventRow& row) override
    {
        if (m_index == m_page.size() && (m_done || !fetch() || m_page.isEmpty()))
            return false;
        row = std::move(m_page[m_index++]);
        if (m_position)
            *m_position = row.rowId;
        return true;
    }

private:
    // Reads the next page; an empty page ends the stream.
    bool fetch()
    {
        m_page.clear();
        m_index = 0;
        while (m_page.isEmpty() && !m_done) {
            TableQuery page = m_query;
            qint64 pageLimit = pageRows;
            if (m_sliced) {
                if (!m_slice && !m_store.nextSlice(m_query, m_sliceStart, m_target, m_slice.emplace(), m_lastSlice)) {
                    m_slice.reset();
                    return false;
                }
                page.since = m_slice->first;
                page.until = m_slice->second;
                pageLimit = 2 * m_target;
            }
            page.limit = m_remaining ? std::min(pageLimit, *m_remaining) : pageLimit;
            if (m_last && m_query.order == TableQuery::Order::RowIdAscending)
                page.afterRowId = m_last->second;
            else if (m_last)
                page.afterKey = m_last;
            const Statement statement(m_store.prepare(page));
            if (!statement)
                return false;
            const auto table = static_cast<size_t>(m_query.table);
            int result = SQLITE_ROW;
            while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
                m_page.append(EventRow());
                readRow(statement.get(), table, m_page.last());
            }
            if (result != SQLITE_DONE) {
                m_store.fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[table].table)));
                return false;
            }
            if (m_remaining)
                *m_remaining -= m_page.size();
            m_sliceGot += m_page.size();
            if (!m_page.isEmpty())
                m_last = std::make_pair(m_page.last().time, m_page.last().rowId);
            const bool more = m_page.size() == *page.limit && (!m_remaining || *m_remaining > 0);
            if (more)
                break;
            if (!m_sliced || m_lastSlice || (m_remaining && *m_remaining == 0)) {
                m_done = true;
                break;
            }
            // The slices are apart in time, so the next one starts without a key.
            if (2 * m_sliceGot < m_target)
                m_target = std::min(2 * m_target, maxSliceRows);
            m_sliceStart = m_ascending ? m_slice->second + 1 : m_slice->first - 1;
            m_slice.reset();
            m_last.reset();
            m_sliceGot = 0;
        }
        return true;
    }

    SqliteStore& m_store;
    TableQuery m_query;
    qint64* m_position;
    std::optional<qint64> m_remaining;
    QVector<EventRow> m_page;
    int m_index = 0;
    bool m_done = false;
    // The (time, rowID) of the last row of the previous page.
    std::optional<std::pair<qint64, qint64>> m_last;
    const bool m_sliced;
    const bool m_ascending;
    // The slice being read, its first and last time, and where the next one starts.
    std::optional<std::pair<qint64, qint64>> m_slice;
    bool m_lastSlice = false;
    qint64 m_sliceStart;
    qint64 m_target;
    qint64 m_sliceGot = 0;
};

// RowIDs of a table grow with each commit (AUTOINCREMENT, one writer at a time), so the highest one read is
// the whole position; it survives the daemon's restarts and the journal's checkpoints.
class SqliteFollowCursor : public FollowCursor
{
public:
    SqliteFollowCursor(SqliteStore& store, qint64 lastRowId)
        : m_store(store)
        , m_lastRowId(lastRowId)
    {
    }

    std::unique_ptr<RowStream> newRows(const TableQuery& query) override
    {
        TableQuery after = query;
        after.order = TableQuery::Order::RowIdAscending;
        after.afterRowId = m_lastRowId;
        return m_store.rows(after, &m_lastRowId);
    }

private:
    SqliteStore& m_store;
    qint64 m_lastRowId;
};

// The statement with its parameters bound, or null when it cannot be prepared.
sqlite3_stmt* prepareBound(sqlite3* db, const BuiltQuery& built)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, built.sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK)
        return nullptr;
    for (int i = 0; i < built.values.size(); ++i) {
        const QVariant& value = built.values.at(i);
        if (value.userType() == QMetaType::QString) {
            const QByteArray text = value.toString().toUtf8();
            sqlite3_bind_text(statement, i + 1, text.constData(), text.size(), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(statement, i + 1, value.toLongLong());
        }
    }
    return statement;
}

} // namespace

SqliteStore::~SqliteStore()
{
    sqlite3_close(m_db);
}

bool SqliteStore::open(const QString& path)
{
    m_path = path;
    const QFileInfo info(path);
    if (!info.exists()) {
        m_error = QStringLiteral("Cannot open database \"%1\": no such file").arg(path);
        return false;
    }
    if (!info.isFile()) {
        m_error = QStringLiteral("Cannot open database \"%1\": not a file").arg(path);
        return false;
    }
    // Read-only: the connection never writes the file, creates it or takes its write lock.
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fail(QStringLiteral("Cannot open database \"%1\"").arg(path));
        return false;
    }
    sqlite3_busy_handler(m_db, &SqliteStore::busyHandler, this);
    return checkTables();
}

bool SqliteStore::checkTables()
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(m_db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &raw, nullptr)
        != SQLITE_OK) {
        fail(QStringLiteral("Cannot read database \"%1\"").arg(m_path));
        return false;
    }
    const Statement statement(raw);
    QStringList missing = requiredTables();
    QStringList map{QLatin1String(timeMapTable), QLatin1String(timeMarkTable)};
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(raw)) == SQLITE_ROW) {
        const QString name = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)));
        missing.removeAll(name);
        map.removeAll(name);
    }
    m_hasTimeMap = map.isEmpty();
    if (result != SQLITE_DONE) {
        fail(QStringLiteral("Cannot read database \"%1\"").arg(m_path));
        return false;
    }
    if (!missing.isEmpty()) {
        m_error = QStringLiteral("Database \"%1\" is not a tevrik system log: missing tables %2")
                      .arg(m_path, missing.join(QLatin1String(", ")));
        return false;
    }
    return true;
}

bool SqliteStore::beginRead(ReadKind kind)
{
    // A read of figures hands out no row before it ends: it holds one snapshot, so that its statements agree, and the
    // daemon's checkpoints wait behind it only as long as the figures take.
    if (kind == ReadKind::Figures) {
        if (sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(QStringLiteral("Cannot read database \"%1\"").arg(m_path));
            return false;
        }
        m_snapshot = true;
    }
    // The highest rowIDs of one moment bound every page of the read: rows committed later are the follower's. The
    // time map's marks, and which tables still have the index of an earlier version, are of the same moment.
    QStringList highest;
    for (const EventTable& table : eventTables()) {
        const QLatin1String name(table.table);
        highest << QStringLiteral("(SELECT coalesce(max(rowID), 0) FROM \"%1\")").arg(name);
        if (m_hasTimeMap)
            highest << QStringLiteral("(SELECT coalesce(max(lastRowID), 0) FROM %1 WHERE tableName = '%2')")
                           .arg(QLatin1String(timeMarkTable), name)
                    << QStringLiteral("EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = '%1')")
                           .arg(QString::fromStdString(oldTimeIndex(table.table)));
    }
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(m_db, ("SELECT " + highest.join(QLatin1String(", "))).toUtf8().constData(), -1, &raw, nullptr);
    const Statement statement(raw);
    if (!raw || sqlite3_step(raw) != SQLITE_ROW) {
        fail(QStringLiteral("Cannot read database \"%1\"").arg(m_path));
        endRead();
        return false;
    }
    m_bounds.emplace();
    const int columns = m_hasTimeMap ? 3 : 1;
    for (size_t t = 0; t < eventTableCount; ++t) {
        const int column = int(t) * columns;
        (*m_bounds)[t] = sqlite3_column_int64(raw, column);
        m_marks[t].reset();
        if (m_hasTimeMap && sqlite3_column_int(raw, column + 2) == 0)
            m_marks[t] = sqlite3_column_int64(raw, column + 1);
    }
    return true;
}

bool SqliteStore::endRead()
{
    m_bounds.reset();
    m_marks.fill(std::nullopt);
    if (!m_snapshot)
        return true;
    m_snapshot = false;
    if (sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail(QStringLiteral("Cannot read database \"%1\"").arg(m_path));
        return false;
    }
    return true;
}

std::unique_ptr<RowStream> SqliteStore::rows(const TableQuery& query)
{
    return rows(query, nullptr);
}

std::unique_ptr<RowStream> SqliteStore::rows(const TableQuery& query, qint64* position)
{
    return std::make_unique<SqliteRowStream>(*this, bounded(query), position);
}

TableQuery SqliteStore::bounded(const TableQuery& query) const
{
    TableQuery bounded = query;
    // A snapshot holds no row past the bounds read in it: the condition would only cost a comparison a row.
    if (m_bounds && !m_snapshot)
        bounded.lastRowId = (*m_bounds)[static_cast<size_t>(query.table)];
    bounded.timeMapMark = m_marks[static_cast<size_t>(query.table)];
    return bounded;
}

bool SqliteStore::nextSlice(const TableQuery& query, qint64 start, qint64 target, std::pair<qint64, qint64>& slice,
                            bool& last)
{
    const bool ascending = query.order == TableQuery::Order::TimeAscending;
    const qint64 end = ascending ? query.until.value_or(latest) : query.since.value_or(earliest);
    const QByteArray sql = QStringLiteral("SELECT bucket, sum(rowCount) FROM %1 WHERE tableName = '%2' AND bucket %3 ?1 "
                                          "AND bucket %4 ?2 GROUP BY bucket ORDER BY bucket%5")
                               .arg(QLatin1String(timeMapTable), QLatin1String(eventTables()[query.table].table),
                                    ascending ? QStringLiteral(">=") : QStringLiteral("<="),
                                    ascending ? QStringLiteral("<=") : QStringLiteral(">="),
                                    ascending ? QString() : QStringLiteral(" DESC"))
                               .toUtf8();
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(m_db, sql.constData(), -1, &raw, nullptr);
    const Statement statement(raw);
    if (!raw) {
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[query.table].table)));
        return false;
    }
    sqlite3_bind_int64(raw, 1, timeBucket(start));
    sqlite3_bind_int64(raw, 2, timeBucket(end));
    // The slice ends at the far edge of the last bucket taken, or within the first one when it holds far more.
    qint64 edge = end;
    qint64 rows = 0;
    int result = SQLITE_ROW;
    while (rows < target && (result = sqlite3_step(raw)) == SQLITE_ROW) {
        const qint64 bucket = sqlite3_column_int64(raw, 0);
        const qint64 count = sqlite3_column_int64(raw, 1);
        const qint64 bucketStart = bucket * bucketSpan;
        const qint64 bucketEnd = bucketStart + (bucketSpan - 1);
        if (rows == 0 && count > 2 * target) {
            // A part of the bucket from where the read stands in it, as wide as the bucket's rows allow.
            const qint64 width = std::max<qint64>(1, bucketSpan * target / count);
            const qint64 from = ascending ? std::max(start, bucketStart) : std::min(start, bucketEnd);
            edge = ascending ? (from > bucketEnd - width ? bucketEnd : from + width - 1)
                             : (from < bucketStart + width ? bucketStart : from - width + 1);
            rows = count;
            break;
        }
        rows += count;
        edge = ascending ? bucketEnd : bucketStart;
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[query.table].table)));
        return false;
    }
    // The rows after the last bucket of the map, and those after its mark, are in the last slice.
    if (rows < target || (ascending ? edge >= end : edge <= end))
        edge = end;
    last = edge == end;
    slice = ascending ? std::make_pair(start, edge) : std::make_pair(edge, start);
    return true;
}

bool SqliteStore::firstRow(const TableQuery& query, std::optional<EventRow>& row)
{
    TableQuery first = query;
    first.limit = 1;
    const std::unique_ptr<RowStream> stream = rows(first);
    EventRow taken;
    row.reset();
    if (stream->next(taken))
        row = std::move(taken);
    return m_error.isEmpty();
}

bool SqliteStore::oldestAndNewest(const TableQuery& query, std::optional<EventRow>& oldest,
                                  std::optional<EventRow>& newest)
{
    TableQuery ascending = query;
    ascending.order = TableQuery::Order::TimeAscending;
    TableQuery descending = query;
    descending.order = TableQuery::Order::TimeDescending;
    return firstRow(ascending, oldest) && firstRow(descending, newest);
}

sqlite3_stmt* SqliteStore::prepare(const TableQuery& query)
{
    sqlite3_stmt* statement = prepareBound(m_db, buildRowQuery(query, sqliteDialect()));
    if (!statement)
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[query.table].table)));
    return statement;
}

bool SqliteStore::values(const TableQuery& query, const QVector<BuiltQuery>& queries,
                         QVector<std::optional<qint64>>& values)
{
    values.clear();
    for (const BuiltQuery& built : queries) {
        const Statement statement(prepareBound(m_db, built));
        sqlite3_stmt* raw = statement.get();
        if (!raw || sqlite3_step(raw) != SQLITE_ROW) {
            fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[query.table].table)));
            return false;
        }
        for (int c = 0; c < sqlite3_column_count(raw); ++c)
            values << (sqlite3_column_type(raw, c) != SQLITE_NULL ? std::optional<qint64>(sqlite3_column_int64(raw, c))
                                                                   : std::nullopt);
    }
    return true;
}

bool SqliteStore::countsThroughMap(const TableQuery& read) const
{
    return m_snapshot && read.timeMapMark && read.matches.isEmpty() && !read.after && !read.afterRowId
           && !read.afterKey && read.hosts.isEmpty();
}

bool SqliteStore::exactHorizon(const TableQuery& read, std::optional<qint64>& horizon)
{
    horizon.reset();
    const QLatin1String table(eventTables()[read.table].table);
    // Every row up to the mark lies in one entry, but retention deletes rows and only the entries that it leaves
    // empty: the entries then count more rows than the table holds up to the mark, by as many as are gone.
    QVector<std::optional<qint64>> figures;
    const BuiltQuery totals{QStringLiteral("SELECT (SELECT count(*) FROM \"%1\") - (SELECT count(*) FROM \"%1\" "
                                           "WHERE rowID > ?1), (SELECT coalesce(sum(rowCount), 0) FROM %2 "
                                           "WHERE tableName = '%1')")
                                .arg(table, QLatin1String(timeMapTable)),
                            {*read.timeMapMark}};
    if (!values(read, {totals}, figures))
        return false;
    qint64 excess = figures.at(1).value_or(0) - figures.at(0).value_or(0);
    if (excess <= 0) {
        // More rows than the entries count lie outside the map's reach, which its readers trust no longer.
        if (excess == 0)
            horizon = 0;
        return true;
    }
    // Retention deletes the oldest rows first: the entries are counted in the order they end until the rows found
    // missing are all that the totals miss; every later entry then counts exactly.
    const QByteArray sql = QStringLiteral("SELECT m.lastRowID, m.rowCount - (SELECT count(*) FROM \"%1\" AS t "
                                          "WHERE %2) FROM %3 AS m WHERE m.tableName = '%1' ORDER BY m.lastRowID")
                               .arg(table, QLatin1String(timeMapMembership), QLatin1String(timeMapTable))
                               .toUtf8();
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(m_db, sql.constData(), -1, &raw, nullptr);
    const Statement statement(raw);
    int result = raw ? SQLITE_ROW : SQLITE_ERROR;
    while (raw && excess > 0 && (result = sqlite3_step(raw)) == SQLITE_ROW) {
        excess -= sqlite3_column_int64(raw, 1);
        if (excess == 0)
            horizon = sqlite3_column_int64(raw, 0);
    }
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        fail(QStringLiteral("Cannot read table %1").arg(table));
        return false;
    }
    return true;
}

bool SqliteStore::tableRows(const TableQuery& read, qint64& rows)
{
    QVector<std::optional<qint64>> figures;
    // SQLite counts a whole table from its pages, without reading its rows.
    const BuiltQuery count{
        QStringLiteral("SELECT count(*) FROM \"%1\"").arg(QLatin1String(eventTables()[read.table].table)), {}};
    if (!values(read, {count}, figures))
        return false;
    rows = figures.at(0).value_or(0);
    return true;
}

bool SqliteStore::mappedStats(const TableQuery& read, TableStats& stats)
{
    std::optional<EventRow> first;
    std::optional<EventRow> last;
    if (!oldestAndNewest(read, first, last))
        return false;
    stats = TableStats();
    if (!first)
        return true;
    stats.first = first->time;
    stats.last = last->time;
    QVector<std::optional<qint64>> figures;
    if (!read.since && !read.until) {
        if (!tableRows(read, stats.rows))
            return false;
    } else {
        std::optional<qint64> horizon;
        QVector<QPair<QByteArray, qint64>> counts;
        if (!exactHorizon(read, horizon))
            return false;
        if (horizon ? !keyCounts(read, buildMappedCountQuery(read, nullptr, *horizon, sqliteDialect()), counts)
                    : !values(read, {buildSelectQuery(QStringLiteral("count(*)"), read, sqliteDialect())}, figures))
            return false;
        stats.rows = horizon ? (counts.isEmpty() ? 0 : counts.first().second) : figures.at(0).value_or(0);
    }
    // One scan finds the unsent rows, counting those that the oldest row suggests to be fewer: the unsent ones after
    // a sent oldest row, else the sent ones, and then the oldest unsent row is the oldest row.
    const bool oldestUnsent = first->sentToMasterDB == 0;
    const QString what = oldestUnsent ? QStringLiteral("count(*)") : QStringLiteral("count(*), min(time)");
    const QString unsent =
        oldestUnsent ? QStringLiteral("\"sentToMasterDB\" <> 0") : QStringLiteral("\"sentToMasterDB\" = 0");
    if (!values(read, {buildSelectQuery(what, read, sqliteDialect(), unsent)}, figures))
        return false;
    stats.unsent = oldestUnsent ? stats.rows - figures.at(0).value_or(0) : figures.at(0).value_or(0);
    stats.oldestUnsent = oldestUnsent ? stats.first : figures.at(1);
    return true;
}

bool SqliteStore::stats(const QVector<TableQuery>& queries, QVector<QVector<TableStats>>& stats)
{
    std::vector<QVector<TableStats>> figures(static_cast<size_t>(queries.size()));
    // The counts read every row, a core's work: in a read of figures, a second connection on a thread of its own counts
    // the tables of about half the rows.
    const QVector<int> helped = m_snapshot && queries.size() > 1 && helper() ? sharedOut(queries) : QVector<int>();
    bool helperOk = true;
    std::thread thread;
    if (!helped.isEmpty())
        thread = std::thread([&] { helperOk = m_helper->tableStats(queries, helped, figures); });
    QVector<int> mine;
    for (int i = 0; i < queries.size(); ++i) {
        if (!helped.contains(i))
            mine << i;
    }
    bool ok = true;
    for (const int i : qAsConst(mine)) {
        if (ok)
            ok = tableStats(queries.at(i), figures[static_cast<size_t>(i)]);
    }
    if (thread.joinable())
        thread.join();
    if (ok && !helperOk)
        m_error = m_helper->errorString();
    stats = QVector<QVector<TableStats>>(figures.cbegin(), figures.cend());
    return ok && helperOk;
}

SqliteStore* SqliteStore::helper()
{
    if (!m_helper) {
        // Without a second connection, one counts everything.
        auto helper = std::make_unique<SqliteStore>();
        if (!helper->open(m_path))
            return nullptr;
        m_helper = std::move(helper);
    }
    return m_helper.get();
}

QVector<int> SqliteStore::sharedOut(const QVector<TableQuery>& queries) const
{
    // The highest rowID stands for a table's rows; the largest tables first, each to the side that has fewer.
    QVector<int> order(queries.size());
    std::iota(order.begin(), order.end(), 0);
    const auto weight = [&](int i) { return (*m_bounds)[static_cast<size_t>(queries.at(i).table)]; };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return weight(a) > weight(b); });
    QVector<int> helped;
    qint64 mine = 0;
    qint64 theirs = 0;
    for (const int i : qAsConst(order)) {
        if (theirs < mine) {
            helped << i;
            theirs += weight(i);
        } else {
            mine += weight(i);
        }
    }
    return helped;
}

bool SqliteStore::tableStats(const QVector<TableQuery>& queries, const QVector<int>& indexes,
                             std::vector<QVector<TableStats>>& figures)
{
    bool ok = beginRead(ReadKind::Figures);
    for (const int i : indexes) {
        if (ok)
            ok = tableStats(queries.at(i), figures[static_cast<size_t>(i)]);
    }
    return endRead() && ok;
}

bool SqliteStore::tableStats(const TableQuery& query, QVector<TableStats>& result)
{
    const TableQuery read = bounded(query);
    TableStats stats;
    if (countsThroughMap(read)) {
        if (!mappedStats(read, stats))
            return false;
        result = {stats};
        return true;
    }
    QVector<BuiltQuery> queries = buildStatsQueries(read, sqliteDialect());
    // Without an index on time, the first and last times come from the first row of a read in either order.
    if (read.timeMapMark)
        queries.resize(2);
    QVector<std::optional<qint64>> values;
    if (!this->values(read, queries, values))
        return false;
    if (read.timeMapMark) {
        TableQuery unsent = query;
        unsent.order = TableQuery::Order::TimeAscending;
        unsent.matches.append(ColumnMatch{QStringLiteral("sentToMasterDB"), {qlonglong(0)}});
        std::optional<EventRow> oldestUnsent;
        values.resize(4);
        if (!timeSpan(query, values[2], values[3]) || !firstRow(unsent, oldestUnsent))
            return false;
        values << (oldestUnsent ? std::optional<qint64>(oldestUnsent->time) : std::nullopt);
    }
    stats.rows = values[0].value_or(0);
    stats.unsent = values[1].value_or(0);
    stats.first = values[2];
    stats.last = values[3];
    stats.oldestUnsent = values[4];
    result = {stats};
    return true;
}

bool SqliteStore::timeSpan(const TableQuery& query, std::optional<qint64>& first, std::optional<qint64>& last)
{
    const TableQuery read = bounded(query);
    if (read.timeMapMark) {
        std::optional<EventRow> firstRead;
        std::optional<EventRow> lastRead;
        if (!oldestAndNewest(query, firstRead, lastRead))
            return false;
        first = firstRead ? std::optional<qint64>(firstRead->time) : std::nullopt;
        last = lastRead ? std::optional<qint64>(lastRead->time) : std::nullopt;
        return true;
    }
    QVector<std::optional<qint64>> values;
    if (!this->values(read, buildTimeSpanQueries(read, sqliteDialect()), values))
        return false;
    first = values.at(0);
    last = values.at(1);
    return true;
}

bool SqliteStore::countBy(const TableQuery& query, const Grouping& grouping, QVector<QPair<QByteArray, qint64>>& counts)
{
    const TableQuery read = bounded(query);
    if (!grouping.column.isEmpty())
        return valueCounts(read, grouping.column, counts);
    std::optional<qint64> horizon;
    if (countsThroughMap(read) && !exactHorizon(read, horizon))
        return false;
    return keyCounts(read,
                     horizon ? buildMappedCountQuery(read, &grouping, *horizon, sqliteDialect())
                             : buildCountQuery(read, grouping, sqliteDialect()),
                     counts);
}

bool SqliteStore::keyCounts(const TableQuery& read, const BuiltQuery& built, QVector<QPair<QByteArray, qint64>>& counts)
{
    const Statement statement(prepareBound(m_db, built));
    sqlite3_stmt* raw = statement.get();
    int result = raw ? SQLITE_ROW : SQLITE_ERROR;
    counts.clear();
    while (raw && (result = sqlite3_step(raw)) == SQLITE_ROW)
        counts.append({QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)), sqlite3_column_bytes(raw, 0)),
                       sqlite3_column_int64(raw, 1)});
    if (result != SQLITE_DONE) {
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[read.table].table)));
        return false;
    }
    return true;
}

bool SqliteStore::valueCounts(const TableQuery& read, const QString& column, QVector<QPair<QByteArray, qint64>>& counts)
{
    const Statement statement(
        prepareBound(m_db, buildSelectQuery(sqliteDialect().column(column), read, sqliteDialect())));
    sqlite3_stmt* raw = statement.get();
    // Integers apart, so that none is written out as text for each row; either way the key is the text that
    // SQLite gives for the value.
    QHash<qint64, qint64> numbers;
    QHash<QByteArray, qint64> texts;
    int result = raw ? SQLITE_ROW : SQLITE_ERROR;
    while (raw && (result = sqlite3_step(raw)) == SQLITE_ROW) {
        if (sqlite3_column_type(raw, 0) == SQLITE_INTEGER) {
            ++numbers[sqlite3_column_int64(raw, 0)];
            continue;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        const int size = sqlite3_column_bytes(raw, 0);
        // Looked up in place, copied only when new.
        const auto known = texts.find(QByteArray::fromRawData(text, size));
        if (known != texts.end())
            ++known.value();
        else
            texts.insert(QByteArray(text, size), 1);
    }
    if (result != SQLITE_DONE) {
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[read.table].table)));
        return false;
    }
    counts.clear();
    for (auto it = numbers.cbegin(); it != numbers.cend(); ++it)
        counts.append({QByteArray::number(it.key()), it.value()});
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        counts.append({it.key(), it.value()});
    return true;
}

StorePositions SqliteStore::positions() const
{
    StorePositions positions;
    for (int t = 0; m_bounds && t < eventTableCount; ++t)
        positions[static_cast<size_t>(t)].insert(QByteArray(), (*m_bounds)[static_cast<size_t>(t)]);
    return positions;
}

bool SqliteStore::hasHosts() const
{
    return false;
}

std::unique_ptr<FollowCursor> SqliteStore::followCursor(int table)
{
    if (m_bounds)
        return std::make_unique<SqliteFollowCursor>(*this, (*m_bounds)[static_cast<size_t>(table)]);
    const QByteArray sql = QStringLiteral("SELECT coalesce(max(rowID), 0) FROM \"%1\"")
                               .arg(QLatin1String(eventTables()[static_cast<size_t>(table)].table))
                               .toUtf8();
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(m_db, sql.constData(), -1, &raw, nullptr);
    const Statement statement(raw);
    if (!raw || sqlite3_step(raw) != SQLITE_ROW) {
        fail(QStringLiteral("Cannot read table %1").arg(QLatin1String(eventTables()[static_cast<size_t>(table)].table)));
        return nullptr;
    }
    return std::make_unique<SqliteFollowCursor>(*this, sqlite3_column_int64(raw, 0));
}

bool SqliteStore::mayHaveChanged()
{
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(m_db, "PRAGMA data_version", -1, &raw, nullptr);
    const Statement statement(raw);
    // A failed check costs only a needless poll, which reports the error itself.
    if (!raw || sqlite3_step(raw) != SQLITE_ROW)
        return true;
    const qint64 version = sqlite3_column_int64(raw, 0);
    const bool changed = !m_dataVersion || *m_dataVersion != version;
    m_dataVersion = version;
    return changed;
}

int SqliteStore::pollIntervalMs() const
{
    // A look costs one cheap statement when nothing changed.
    return 100;
}

bool SqliteStore::connectionLost() const
{
    return false;
}

std::pair<qint64, qint64> SqliteStore::fileSizes() const
{
    const QFileInfo wal(m_path + QStringLiteral("-wal"));
    return {QFileInfo(m_path).size(), wal.exists() ? wal.size() : 0};
}

QStringList SqliteStore::sizeOnDisk() const
{
    const auto [database, journal] = fileSizes();
    return {QStringLiteral("Size on disk: %1 bytes (database %2, write-ahead journal %3)")
                .arg(database + journal)
                .arg(database)
                .arg(journal)};
}

QByteArray SqliteStore::sizeOnDiskJson() const
{
    const auto [database, journal] = fileSizes();
    return QStringLiteral("{\"sizeOnDisk\":%1,\"database\":%2,\"journal\":%3}")
        .arg(database + journal)
        .arg(database)
        .arg(journal)
        .toUtf8();
}

int SqliteStore::busyHandler(void* store, int tries)
{
    const auto* self = static_cast<const SqliteStore*>(store);
    if (tries * busyRetryMs >= busyTimeoutMs || (self->m_stopCheck && self->m_stopCheck()))
        return 0;
    sqlite3_sleep(busyRetryMs);
    return 1;
}

void SqliteStore::setStopCheck(std::function<bool()> stopCheck)
{
    m_stopCheck = std::move(stopCheck);
}

QString SqliteStore::errorString() const
{
    return m_error;
}

void SqliteStore::fail(const QString& what)
{
    m_error = m_db ? QStringLiteral("%1: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(m_db)))
                   : what;
}
