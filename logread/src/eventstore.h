#ifndef EVENTSTORE_H
#define EVENTSTORE_H

#include "eventquery.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The rows of one table, in the order that their query asked for.
class RowStream
{
public:
    virtual ~RowStream() = default;
    // The next row; false at the end and on an error, which the store's errorString() then tells.
    virtual bool next(EventRow& row) = 0;
};

// Where a follower stands in one table: the rows committed after it are new.
class FollowCursor
{
public:
    virtual ~FollowCursor() = default;
    // The query's rows committed after the cursor, in commit order; each row read moves the cursor past it.
    virtual std::unique_ptr<RowStream> newRows(const TableQuery& query) = 0;
};

// Per-table figures of --stats, of one host when the store holds several.
struct TableStats
{
    QByteArray host;
    qint64 rows = 0;
    qint64 unsent = 0;
    std::optional<qint64> first;
    std::optional<qint64> last;
    // The time of the oldest row not yet forwarded; known only to a store of one host.
    std::optional<qint64> oldestUnsent;
};

// Where the reader's rows come from. Opened read-only: a store never writes, creates or locks
// for writing. Every call that fails leaves the reason in errorString().
class EventStore
{
public:
    virtual ~EventStore() = default;

    // What a read is for: rows taken as they are read, and with them where the view ends (for followCursor() and
    // positions()), or figures made whole before anything is printed.
    enum class ReadKind { Rows, RowsAndPositions, Figures };

    // Starts one consistent view of the data for the calls up to endRead(). A read of figures takes each table's
    // figures from one snapshot of the data, so that those of several statements agree with each other.
    virtual bool beginRead(ReadKind kind) = 0;
    virtual bool endRead() = 0;
    // Rows of one table; the stream is valid until endRead().
    virtual std::unique_ptr<RowStream> rows(const TableQuery& query) = 0;
    // Per query of the list (each of another table), its figures: one entry for a single source, else one per host
    // that has rows, in bytewise order of the host names.
    virtual bool stats(const QVector<TableQuery>& queries, QVector<QVector<TableStats>>& stats) = 0;
    // The first and the last time of the query's rows; none when it has no rows.
    virtual bool timeSpan(const TableQuery& query, std::optional<qint64>& first, std::optional<qint64>& last) = 0;
    // Per group of the query's rows, its key as text (integers in decimal) and its count, in no order.
    virtual bool countBy(const TableQuery& query, const Grouping& grouping,
                         QVector<QPair<QByteArray, qint64>>& counts) = 0;
    // Where the view of a read begun with positions ends.
    virtual StorePositions positions() const = 0;
    // Whether the store holds the rows of many sources, each row naming its host.
    virtual bool hasHosts() const = 0;
    // A cursor at the end of the table as the current view shows it; null on an error.
    virtual std::unique_ptr<FollowCursor> followCursor(int table) = 0;
    // Whether another writer may have committed since the previous call; true on the first.
    virtual bool mayHaveChanged() = 0;
    // How long a follower waits between looks for new rows.
    virtual int pollIntervalMs() const = 0;
    // After a failure: whether the store lost its connection and a later call may succeed again.
    virtual bool connectionLost() const = 0;
    // Lines describing the space the store takes, for --stats; the same figures as the members of one JSON object.
    virtual QStringList sizeOnDisk() const = 0;
    virtual QByteArray sizeOnDiskJson() const = 0;
    virtual QString errorString() const = 0;
    // Asked while a statement waits for a lock or the server; true ends the wait, and the call fails.
    virtual void setStopCheck(std::function<bool()> stopCheck) = 0;
};

#endif
