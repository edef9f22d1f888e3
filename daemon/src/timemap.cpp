#include "timemap.h"

#include <QDebug>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <string>

namespace {

// An entry spans at most this many rowIDs, so that the rows of a short time read through it are few beside the
// rows that it holds outside that time.
constexpr std::int64_t maxEntrySpan = 4096;
// The latest entries kept per table: rows a few minutes out of order still extend the entry of their bucket.
constexpr size_t latestBuckets = 16;
// Rows read per statement when mapping rows that the store did not write.
constexpr int chunkRows = 4096;

constexpr std::int64_t noLimit = std::numeric_limits<std::int64_t>::max();

// Runs a prepared statement to its end; SQLite's result code, SQLITE_DONE on success.
int run(sqlite3_stmt* statement)
{
    int code = SQLITE_ROW;
    while (code == SQLITE_ROW)
        code = sqlite3_step(statement);
    sqlite3_reset(statement);
    return code;
}

bool failed(int code)
{
    return code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW;
}

} // namespace

void TimeMap::Spans::add(std::int64_t rowId, std::int64_t time)
{
    const std::int64_t bucket = timeBucket(time);
    // Rows come in rowID order: the latest span of the bucket is the last one with it.
    if (lastHit >= buckets.size() || buckets[lastHit].bucket != bucket) {
        lastHit = buckets.size();
        for (size_t i = buckets.size(); i-- > 0;) {
            if (buckets[i].bucket == bucket) {
                lastHit = i;
                break;
            }
        }
    }
    if (lastHit == buckets.size() || rowId - buckets[lastHit].firstRowId >= maxEntrySpan) {
        lastHit = buckets.size();
        buckets.push_back(Span{bucket, rowId, rowId, time, time, 0});
    }
    Span& span = buckets[lastHit];
    span.lastRowId = rowId;
    span.minTime = std::min(span.minTime, time);
    span.maxTime = std::max(span.maxTime, time);
    ++span.rows;
    firstRowId = rows == 0 ? rowId : std::min(firstRowId, rowId);
    lastRowId = rows == 0 ? rowId : std::max(lastRowId, rowId);
    ++rows;
}

void TimeMap::Spans::clear()
{
    buckets.clear();
    rows = 0;
    lastHit = 0;
}

TimeMap::TimeMap(sqlite3* db)
    : m_db(db)
{
}

TimeMap::~TimeMap()
{
    for (sqlite3_stmt* s : {m_readMark, m_setMark, m_insertEntry, m_extendEntry})
        sqlite3_finalize(s);
    for (sqlite3_stmt* s : m_readRows)
        sqlite3_finalize(s);
}

sqlite3_stmt* TimeMap::statement(sqlite3_stmt*& slot, const char* sql)
{
    if (!slot && sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK) {
        sqlite3_finalize(slot);
        slot = nullptr;
    }
    return slot;
}

int TimeMap::exec(const char* sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
}

int TimeMap::load()
{
    // An earlier version indexed the schema version's empty table too.
    int code = exec(("DROP INDEX IF EXISTS " + oldTimeIndex(schemaVersionTable)).c_str());
    m_unmappedAtLoad = 0;
    m_oldIndexAtLoad = false;
    for (size_t t = 0; t < eventKindCount && !failed(code); ++t) {
        const char* table = eventKinds()[t].table;
        TableState& state = m_committed[t];
        state = TableState();
        const std::string sql = std::string("INSERT OR IGNORE INTO ") + timeMarkTable + " VALUES ('" + table
                                + "', 0); SELECT (SELECT lastRowID FROM " + timeMarkTable + " WHERE tableName = '"
                                + table + "'), (SELECT coalesce(max(rowID), 0) FROM \"" + table
                                + "\"), EXISTS (SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = '"
                                + oldTimeIndex(table) + "')";
        const char* tail = sql.c_str();
        sqlite3_stmt* query = nullptr;
        while (!failed(code) && *tail) {
            code = sqlite3_prepare_v2(m_db, tail, -1, &query, &tail);
            if (failed(code) || !query)
                break;
            code = sqlite3_step(query);
            if (code == SQLITE_ROW) {
                state.mark = sqlite3_column_int64(query, 0);
                const std::int64_t highest = sqlite3_column_int64(query, 1);
                state.oldIndex = sqlite3_column_int(query, 2) != 0;
                state.backlog = highest > state.mark || state.oldIndex;
                m_unmappedAtLoad += std::max<std::int64_t>(0, highest - state.mark);
                m_oldIndexAtLoad = m_oldIndexAtLoad || state.oldIndex;
            }
            code = sqlite3_finalize(query);
            query = nullptr;
        }
    }
    return code;
}

bool TimeMap::hasBacklog() const
{
    return std::any_of(m_committed.begin(), m_committed.end(), [](const TableState& s) { return s.backlog; });
}

void TimeMap::note(EventKindId kind, std::int64_t rowId, std::int64_t time)
{
    m_noted[size_t(kind)].add(rowId, time);
}

TimeMap::TableState& TimeMap::staged(size_t table)
{
    if (!m_touched[table]) {
        m_touched[table] = true;
        m_staged[table] = m_committed[table];
    }
    return m_staged[table];
}

int TimeMap::write(int budgetMs)
{
    const QDeadlineTimer deadline(budgetMs);
    for (size_t t = 0; t < eventKindCount; ++t) {
        Spans& noted = m_noted[t];
        if (noted.rows == 0 && !m_committed[t].backlog)
            continue;
        TableState& state = staged(t);
        std::int64_t mark = 0;
        int code = readMark(t, mark);
        if (failed(code))
            return code;
        if (mark != state.mark) {
            // Another connection mapped rows: its latest entries are not known here.
            state.mark = mark;
            state.latest.clear();
            state.backlog = true;
        }
        if (noted.rows > 0 && (mark >= noted.firstRowId || noted.lastRowId - noted.firstRowId + 1 != noted.rows)) {
            // Rows that the store did not write lie among its own (a trigger's), or the mark claims rows that it
            // cannot cover: the rows are read back from the table instead.
            if (mark >= noted.firstRowId && failed(code = resetTable(t)))
                return code;
            state.backlog = true;
            noted.clear();
        }
        // The store's rows of the transaction are the newest; a mark past them was reset above.
        Q_ASSERT(noted.rows == 0 || noted.firstRowId > state.mark);
        const std::int64_t upTo = noted.rows > 0 ? noted.firstRowId - 1 : noLimit;
        bool reached = state.mark >= upTo;
        if (!reached && failed(code = mapRows(t, upTo, deadline, reached)))
            return code;
        if (noted.rows > 0 && reached) {
            if (failed(code = writeSpans(t, noted)))
                return code;
            state.mark = noted.lastRowId;
        }
        // The store's own rows above the mark wait for the chunks that map the rows before them.
        state.backlog = !reached;
        if (!state.backlog && state.oldIndex && failed(code = dropOldIndex(t)))
            return code;
        if (state.mark != mark) {
            sqlite3_stmt* setMark =
                statement(m_setMark, "UPDATE timemapmark SET lastRowID = ?2 WHERE tableName = ?1");
            if (!setMark)
                return sqlite3_errcode(m_db);
            sqlite3_bind_text(setMark, 1, eventKinds()[t].table, -1, SQLITE_STATIC);
            sqlite3_bind_int64(setMark, 2, state.mark);
            if (failed(code = run(setMark)))
                return code;
        }
    }
    return SQLITE_OK;
}

int TimeMap::readMark(size_t table, std::int64_t& mark)
{
    sqlite3_stmt* query = statement(m_readMark, "SELECT lastRowID FROM timemapmark WHERE tableName = ?1");
    if (!query)
        return sqlite3_errcode(m_db);
    sqlite3_bind_text(query, 1, eventKinds()[table].table, -1, SQLITE_STATIC);
    int code = sqlite3_step(query);
    mark = code == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
    if (code == SQLITE_ROW)
        code = SQLITE_DONE;
    sqlite3_reset(query);
    return code;
}

int TimeMap::mapRows(size_t table, std::int64_t upTo, const QDeadlineTimer& deadline, bool& reached)
{
    TableState& state = m_staged[table];
    sqlite3_stmt*& slot = m_readRows[table];
    const std::string sql = std::string("SELECT rowID, time FROM \"") + eventKinds()[table].table
                            + "\" WHERE rowID > ?1 AND rowID <= ?2 ORDER BY rowID LIMIT ?3";
    sqlite3_stmt* query = statement(slot, sql.c_str());
    if (!query)
        return sqlite3_errcode(m_db);
    reached = false;
    Spans chunk;
    while (!reached) {
        chunk.clear();
        sqlite3_bind_int64(query, 1, state.mark);
        sqlite3_bind_int64(query, 2, upTo);
        sqlite3_bind_int(query, 3, chunkRows);
        int code = SQLITE_ROW;
        while ((code = sqlite3_step(query)) == SQLITE_ROW)
            chunk.add(sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 1));
        sqlite3_reset(query);
        if (code != SQLITE_DONE)
            return code;
        if (chunk.rows > 0 && failed(code = writeSpans(table, chunk)))
            return code;
        if (chunk.rows > 0)
            state.mark = chunk.lastRowId;
        reached = chunk.rows < chunkRows;
        if (reached && upTo != noLimit)
            state.mark = upTo;
        if (!reached && deadline.hasExpired())
            break;
    }
    return SQLITE_DONE;
}

int TimeMap::writeSpans(size_t table, const Spans& spans)
{
    TableState& state = m_staged[table];
    const char* name = eventKinds()[table].table;
    for (const Span& span : spans.buckets) {
        auto latest = std::find_if(state.latest.begin(), state.latest.end(),
                                   [&span](const Span& entry) { return entry.bucket == span.bucket; });
        // Extended while the rows between it and the new ones are no more than those, so that reading through an
        // entry reads at most about twice the rows it holds.
        const bool extend = latest != state.latest.end() && span.firstRowId - latest->lastRowId - 1 <= span.rows
                            && span.lastRowId - latest->firstRowId < maxEntrySpan;
        sqlite3_stmt* write =
            extend ? statement(m_extendEntry, "UPDATE timemap SET lastRowID = ?4, minTime = min(minTime, ?5), "
                                              "maxTime = max(maxTime, ?6), rowCount = rowCount + ?7 "
                                              "WHERE tableName = ?1 AND bucket = ?2 AND firstRowID = ?3")
                   : statement(m_insertEntry, "INSERT INTO timemap (tableName, bucket, firstRowID, lastRowID, minTime, "
                                              "maxTime, rowCount) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
        if (!write)
            return sqlite3_errcode(m_db);
        sqlite3_bind_text(write, 1, name, -1, SQLITE_STATIC);
        sqlite3_bind_int64(write, 2, span.bucket);
        sqlite3_bind_int64(write, 3, extend ? latest->firstRowId : span.firstRowId);
        sqlite3_bind_int64(write, 4, span.lastRowId);
        sqlite3_bind_int64(write, 5, span.minTime);
        sqlite3_bind_int64(write, 6, span.maxTime);
        sqlite3_bind_int64(write, 7, span.rows);
        const int code = run(write);
        if (code != SQLITE_DONE)
            return code;
        if (extend) {
            latest->lastRowId = span.lastRowId;
            latest->minTime = std::min(latest->minTime, span.minTime);
            latest->maxTime = std::max(latest->maxTime, span.maxTime);
            latest->rows += span.rows;
            continue;
        }
        if (latest != state.latest.end()) {
            *latest = span;
            continue;
        }
        if (state.latest.size() == latestBuckets)
            state.latest.erase(std::min_element(state.latest.begin(), state.latest.end(),
                                                [](const Span& a, const Span& b) { return a.bucket < b.bucket; }));
        state.latest.push_back(span);
    }
    return SQLITE_DONE;
}

int TimeMap::resetTable(size_t table)
{
    const char* name = eventKinds()[table].table;
    qWarning() << QStringLiteral("The time map of table %1 claimed rows that it does not hold: it is made anew.")
                      .arg(QLatin1String(name));
    const std::string sql = std::string("DELETE FROM timemap WHERE tableName = '") + name + "'";
    const int code = exec(sql.c_str());
    TableState& state = m_staged[table];
    state.mark = 0;
    state.latest.clear();
    return code;
}

int TimeMap::dropOldIndex(size_t table)
{
    const int code = exec(("DROP INDEX IF EXISTS \"" + oldTimeIndex(eventKinds()[table].table) + "\"").c_str());
    if (!failed(code))
        m_staged[table].oldIndex = false;
    return code;
}

void TimeMap::committed()
{
    for (size_t t = 0; t < eventKindCount; ++t) {
        if (m_touched[t])
            m_committed[t] = std::move(m_staged[t]);
        m_touched[t] = false;
        m_noted[t].clear();
    }
}

void TimeMap::rolledBack()
{
    m_touched.fill(false);
    for (Spans& noted : m_noted)
        noted.clear();
}
