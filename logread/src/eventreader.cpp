#include "eventreader.h"

#include <map>
#include <vector>

namespace {

using Comparator = bool (*)(const EventRow& a, const EventRow& b);

// Ties of time between sources go by host name and then identity, as the store orders them.
bool earlierInTimeline(const EventRow& a, const EventRow& b)
{
    if (a.time != b.time)
        return a.time < b.time;
    if (a.host != b.host)
        return a.host < b.host;
    if (a.source != b.source)
        return a.source < b.source;
    if (a.rowId != b.rowId)
        return a.rowId < b.rowId;
    return a.table < b.table;
}

bool laterInTimeline(const EventRow& a, const EventRow& b)
{
    return earlierInTimeline(b, a);
}

// The rows of one table after a cursor come in rowID order, which is their commit order. Between tables the
// store keeps no common order, and within one poll several transactions may have been committed: the
// heads of the tables are taken by time, ties in the store's table order, which never reorders one table.
bool earlierCommitted(const EventRow& a, const EventRow& b)
{
    if (a.time != b.time)
        return a.time < b.time;
    return a.table < b.table;
}

// Takes, from the heads of several ordered streams, the one that the comparator puts first.
class MergedStream
{
public:
    explicit MergedStream(Comparator first)
        : m_first(first)
    {
    }

    void add(std::unique_ptr<RowStream> stream)
    {
        Source source{std::move(stream), EventRow(), false};
        source.hasHead = source.stream->next(source.head);
        m_sources.push_back(std::move(source));
    }

    bool next(EventRow& row)
    {
        Source* best = nullptr;
        for (Source& source : m_sources) {
            if (source.hasHead && (!best || m_first(source.head, best->head)))
                best = &source;
        }
        if (!best)
            return false;
        row = std::move(best->head);
        best->hasHead = best->stream->next(best->head);
        return true;
    }

private:
    struct Source
    {
        std::unique_ptr<RowStream> stream;
        EventRow head;
        bool hasHead;
    };

    Comparator m_first;
    std::vector<Source> m_sources;
};

} // namespace

EventReader::EventReader(EventStore& store, const Selection& selection)
    : m_store(store)
    , m_selection(selection)
{
}

bool EventReader::select(std::optional<qint64> lastCount, bool reverse, bool startFollow, const Sink& sink,
                         StorePositions* viewEnd)
{
    if (!m_store.beginRead(startFollow || viewEnd ? EventStore::ReadKind::RowsAndPositions
                                                  : EventStore::ReadKind::Rows))
        return false;
    if (viewEnd)
        *viewEnd = m_store.positions();
    // The newest rows are read newest first, so that only as many as needed are read.
    const bool newestFirst = reverse || lastCount;
    bool ok = true;
    {
        // Every table's query is made before the first row is read, all in the view that beginRead() began.
        std::vector<std::unique_ptr<RowStream>> streams;
        for (int t = 0; t < eventTableCount && ok; ++t) {
            if (!m_selection.coversTable(t))
                continue;
            const auto order = newestFirst ? TableQuery::Order::TimeDescending : TableQuery::Order::TimeAscending;
            TableQuery query(t, m_selection, order);
            // Without a pattern, the last N of the timeline are among the last N of each table.
            if (lastCount && !m_selection.hasGrep())
                query.limit = *lastCount;
            streams.push_back(m_store.rows(query));
            ok = streams.back() != nullptr;
        }
        MergedStream merged(newestFirst ? laterInTimeline : earlierInTimeline);
        for (std::unique_ptr<RowStream>& stream : streams) {
            if (ok)
                merged.add(std::move(stream));
        }
        ok = ok && m_store.errorString().isEmpty();

        QVector<EventRow> newest;
        EventRow row;
        qint64 taken = 0;
        bool taking = true;
        while (ok && taking && (!lastCount || taken < *lastCount) && merged.next(row)) {
            if (!m_selection.grepMatches(row))
                continue;
            ++taken;
            if (!reverse && lastCount)
                newest.append(std::move(row));
            else
                taking = sink(row);
        }
        ok = ok && m_store.errorString().isEmpty();
        for (auto it = newest.crbegin(); ok && taking && it != newest.crend(); ++it)
            taking = sink(*it);
    }
    if (ok && startFollow)
        ok = readCursor();
    return m_store.endRead() && ok;
}

bool EventReader::readCursor()
{
    for (int t = 0; t < eventTableCount; ++t) {
        if (!m_selection.coversTable(t))
            continue;
        m_cursors[static_cast<size_t>(t)] = m_store.followCursor(t);
        if (!m_cursors[static_cast<size_t>(t)])
            return false;
    }
    // The first check only learns the current state, which the select has just read.
    m_store.mayHaveChanged();
    return true;
}

bool EventReader::poll(const Sink& sink)
{
    if (!m_store.mayHaveChanged())
        return true;
    if (!m_store.beginRead(EventStore::ReadKind::Rows))
        return false;
    bool ok = true;
    {
        std::vector<std::unique_ptr<RowStream>> streams;
        for (int t = 0; t < eventTableCount && ok; ++t) {
            FollowCursor* cursor = m_cursors[static_cast<size_t>(t)].get();
            if (!cursor)
                continue;
            streams.push_back(cursor->newRows(TableQuery(t, m_selection, TableQuery::Order::RowIdAscending)));
            ok = streams.back() != nullptr;
        }
        MergedStream merged(earlierCommitted);
        for (std::unique_ptr<RowStream>& stream : streams) {
            if (ok)
                merged.add(std::move(stream));
        }
        EventRow row;
        bool taking = true;
        while (ok && taking && merged.next(row)) {
            if (m_selection.grepMatches(row))
                taking = sink(row);
        }
        ok = ok && m_store.errorString().isEmpty();
    }
    return m_store.endRead() && ok;
}

bool EventReader::stats(std::array<std::optional<QVector<TableStats>>, eventTableCount>& stats)
{
    if (!m_store.beginRead(EventStore::ReadKind::Figures))
        return false;
    QVector<TableQuery> queries;
    for (int t = 0; t < eventTableCount; ++t) {
        if (m_selection.coversTable(t))
            queries << TableQuery(t, m_selection, TableQuery::Order::TimeAscending);
    }
    bool ok = true;
    if (!m_selection.hasGrep()) {
        // The store counts every table at once, as it sees fit.
        QVector<QVector<TableStats>> figures;
        ok = m_store.stats(queries, figures);
        for (int i = 0; ok && i < queries.size(); ++i)
            stats[static_cast<size_t>(queries.at(i).table)] = std::move(figures[i]);
        return m_store.endRead() && ok;
    }
    for (int i = 0; i < queries.size() && ok; ++i) {
        // Per host in the order that the store gives for the same figures.
        std::map<QByteArray, TableStats> byHost;
        std::unique_ptr<RowStream> stream = m_store.rows(queries.at(i));
        ok = stream != nullptr;
        EventRow row;
        while (ok && stream->next(row)) {
            if (!m_selection.grepMatches(row))
                continue;
            TableStats& table = byHost[row.host];
            table.host = row.host;
            ++table.rows;
            table.unsent += row.sentToMasterDB == 0 ? 1 : 0;
            if (!table.first)
                table.first = row.time;
            table.last = row.time;
        }
        ok = ok && m_store.errorString().isEmpty();
        QVector<TableStats> tableStats;
        for (const auto& entry : byHost)
            tableStats << entry.second;
        if (tableStats.isEmpty() && !m_store.hasHosts())
            tableStats << TableStats();
        stats[static_cast<size_t>(queries.at(i).table)].emplace(std::move(tableStats));
    }
    return m_store.endRead() && ok;
}

bool EventReader::eachRow(const std::function<bool(int table)>& wanted, const Sink& sink)
{
    if (!m_store.beginRead(EventStore::ReadKind::Figures))
        return false;
    bool ok = true;
    for (int t = 0; t < eventTableCount && ok; ++t) {
        if (!m_selection.coversTable(t) || !wanted(t))
            continue;
        std::unique_ptr<RowStream> stream = m_store.rows(TableQuery(t, m_selection, TableQuery::Order::RowIdAscending));
        ok = stream != nullptr;
        EventRow row;
        while (ok && stream->next(row)) {
            if (m_selection.grepMatches(row))
                sink(row);
        }
        ok = ok && m_store.errorString().isEmpty();
    }
    return m_store.endRead() && ok;
}

bool EventReader::eachTable(const std::function<bool(int table)>& wanted,
                            const std::function<bool(const TableQuery& query)>& figures)
{
    if (!m_store.beginRead(EventStore::ReadKind::Figures))
        return false;
    bool ok = true;
    for (int t = 0; t < eventTableCount && ok; ++t) {
        if (m_selection.coversTable(t) && wanted(t))
            ok = figures(TableQuery(t, m_selection, TableQuery::Order::TimeAscending));
    }
    return m_store.endRead() && ok;
}

bool EventReader::fieldCounts(const QString& column, QMap<QByteArray, qint64>& counts)
{
    counts.clear();
    const auto hasColumn = [&column](int table) { return Selection::tableHasColumn(table, column); };
    // The index of the column among a table's own, or -1 for a column of every table.
    const auto columnIndex = [&column](int table) {
        const EventTable& columns = eventTables()[static_cast<size_t>(table)];
        for (int c = 0; c < columns.columnCount; ++c) {
            if (column == QLatin1String(columns.columns[c].name))
                return c;
        }
        return -1;
    };
    if (m_selection.hasGrep()) {
        // The pattern is the reader's own: the rows are counted as they come.
        return eachRow(hasColumn, [&](const EventRow& row) {
            const int c = columnIndex(row.table);
            if (c >= 0)
                ++counts[row.values[static_cast<size_t>(c)]];
            else if (column == QLatin1String("hostname"))
                ++counts[row.host];
            else
                ++counts[QByteArray::number(column == QLatin1String("time")    ? row.time
                                            : column == QLatin1String("rowID") ? row.rowId
                                                                               : row.sentToMasterDB)];
            return true;
        });
    }
    return eachTable(hasColumn, [&](const TableQuery& query) {
        QVector<QPair<QByteArray, qint64>> part;
        const bool ok = m_store.countBy(query, Grouping{column, 0, 0}, part);
        const int c = columnIndex(query.table);
        // As the rows show it, an unsigned record number from the bits that the store keeps.
        const bool unsignedNumber =
            c >= 0 && eventTables()[static_cast<size_t>(query.table)].columns[c].storage == Storage::Integer;
        for (const auto& [value, count] : qAsConst(part))
            counts[unsignedNumber ? QByteArray::number(static_cast<quint64>(value.toLongLong())) : value] += count;
        return ok;
    });
}

bool EventReader::timeSpan(std::optional<qint64>& first, std::optional<qint64>& last)
{
    first.reset();
    last.reset();
    const auto take = [&first, &last](std::optional<qint64> tableFirst, std::optional<qint64> tableLast) {
        if (tableFirst)
            first = std::min(first.value_or(*tableFirst), *tableFirst);
        if (tableLast)
            last = std::max(last.value_or(*tableLast), *tableLast);
    };
    if (m_selection.hasGrep())
        return eachRow([](int) { return true; }, [&take](const EventRow& row) {
            take(row.time, row.time);
            return true;
        });
    return eachTable([](int) { return true; }, [&](const TableQuery& query) {
        std::optional<qint64> tableFirst;
        std::optional<qint64> tableLast;
        const bool ok = m_store.timeSpan(query, tableFirst, tableLast);
        take(tableFirst, tableLast);
        return ok;
    });
}

bool EventReader::histogram(qint64 originMs, qint64 intervalMs, std::array<QMap<qint64, qint64>, eventTableCount>& counts)
{
    for (QMap<qint64, qint64>& table : counts)
        table.clear();
    if (m_selection.hasGrep())
        return eachRow([](int) { return true; }, [&](const EventRow& row) {
            ++counts[static_cast<size_t>(row.table)][(row.time - originMs) / intervalMs];
            return true;
        });
    return eachTable([](int) { return true; }, [&](const TableQuery& query) {
        QVector<QPair<QByteArray, qint64>> part;
        const bool ok = m_store.countBy(query, Grouping{QString(), originMs, intervalMs}, part);
        for (const auto& [interval, count] : qAsConst(part))
            counts[static_cast<size_t>(query.table)][interval.toLongLong()] += count;
        return ok;
    });
}
