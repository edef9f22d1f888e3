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
    // the rows committed after this view. False on a store error.
    bool select(std::optional<qint64> lastCount, bool reverse, bool startFollow, const Sink& sink);
    // The selected rows committed since the previous select or poll, in commit order. False on a store error.
    bool poll(const Sink& sink);
    // Per table in the store's order, the figures as the store's stats() gives them; tables that the selection
    // does not cover stay empty.
    bool stats(std::array<std::optional<QVector<TableStats>>, eventTableCount>& stats);

private:
    bool readCursor();

    EventStore& m_store;
    Selection m_selection;
    std::array<std::unique_ptr<FollowCursor>, eventTableCount> m_cursors;
};

#endif
