#ifndef EVENTREADER_H
#define EVENTREADER_H

#include "eventquery.h"
#include "eventstore.h"

#include <QVector>

#include <array>
#include <functional>
#include <memory>
#include <optional>

// The selection's rows of all tables as one timeline, and the rows committed later.
class EventReader
{
public:
    // Takes one row; false ends the read early, as when the output is gone, and the call still succeeds.
    using Sink = std::function<bool(const EventRow&)>;

    EventReader(EventStore& store, const Selection& selection);

    // The selected rows by time, ties by rowID and then the store's table order; oldest first, or newest first
    // when reverse; only the last lastCount of them when given. With startFollow, later polls return exactly
    // the rows committed after this view; with viewEnd, it receives where the view ends. False on a store error.
    bool select(std::optional<qint64> lastCount, bool reverse, bool startFollow, const Sink& sink,
                StorePositions* viewEnd = nullptr);
    // The selected rows committed since the previous select or poll, in commit order. False on a store error.
    bool poll(const Sink& sink);
    // Per table in the store's order, the figures as the store's stats() gives them; tables that the selection
    // does not cover stay empty.
    bool stats(std::array<std::optional<QVector<TableStats>>, eventTableCount>& stats);
    // Per value of the column among the selected rows of the tables that have it, the count; integers in decimal.
    bool fieldCounts(const QString& column, QMap<QByteArray, qint64>& counts);
    // The first and the last time of the selected rows; none without rows.
    bool timeSpan(std::optional<qint64>& first, std::optional<qint64>& last);
    // Per table that the selection covers, the count of its selected rows per interval of intervalMs from originMs,
    // which lies at or before the first of them.
    bool histogram(qint64 originMs, qint64 intervalMs, std::array<QMap<qint64, qint64>, eventTableCount>& counts);

private:
    bool readCursor();
    // Every covered table's rows that the sink takes, the pattern applied, in one read.
    bool eachRow(const std::function<bool(int table)>& wanted, const Sink& sink);
    // The store's figures of every covered table that is wanted, in one read of figures: figures gets each
    // table's query and returns false on a failure, which ends the read.
    bool eachTable(const std::function<bool(int table)>& wanted,
                   const std::function<bool(const TableQuery& query)>& figures);

    EventStore& m_store;
    Selection m_selection;
    std::array<std::unique_ptr<FollowCursor>, eventTableCount> m_cursors;
};

#endif
