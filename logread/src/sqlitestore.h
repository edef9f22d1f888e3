#ifndef SQLITESTORE_H
#define SQLITESTORE_H

#include "eventstore.h"

#include <array>
#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The daemon's SQLite database, opened read-only through the C API.
class SqliteStore : public EventStore
{
public:
    SqliteStore() = default;
    ~SqliteStore() override;
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Opens an existing database and checks that it holds the store's tables; never creates one.
    bool open(const QString& path);

    bool beginRead(ReadKind kind) override;
    bool endRead() override;
    std::unique_ptr<RowStream> rows(const TableQuery& query) override;
    bool stats(const QVector<TableQuery>& queries, QVector<QVector<TableStats>>& stats) override;
    bool timeSpan(const TableQuery& query, std::optional<qint64>& first, std::optional<qint64>& last) override;
    bool countBy(const TableQuery& query, const Grouping& grouping, QVector<QPair<QByteArray, qint64>>& counts) override;
    StorePositions positions() const override;
    bool hasHosts() const override;
    std::unique_ptr<FollowCursor> followCursor(int table) override;
    bool mayHaveChanged() override;
    int pollIntervalMs() const override;
    bool connectionLost() const override;
    QStringList sizeOnDisk() const override;
    QByteArray sizeOnDiskJson() const override;
    QString errorString() const override;
    void setStopCheck(std::function<bool()> stopCheck) override;

    // The rows of rows(query); with a position, each row read sets it to the row's rowID.
    std::unique_ptr<RowStream> rows(const TableQuery& query, qint64* position);
    // The row statement of one page with its parameters bound; null with the failure recorded.
    sqlite3_stmt* prepare(const TableQuery& query);
    // The next part of a time-ordered read through the time map, from start in the query's order: whole buckets
    // until they hold about target rows, or a part of one bucket that holds many more. Sets the part's times and
    // whether it reaches the end of the query's window; false with the failure recorded.
    bool nextSlice(const TableQuery& query, qint64 start, qint64 target, std::pair<qint64, qint64>& slice, bool& last);
    // Records the connection's last error as the reason of a failure.
    void fail(const QString& what);

private:
    // Sleeps between the tries for a lock, asking the stop check in between; 0 gives up.
    static int busyHandler(void* store, int tries);

    bool checkTables();
    // The second connection of a read of figures, opened at its first use; null when it cannot be opened.
    SqliteStore* helper();
    // The indexes of the queries whose tables the helper counts: about half the rows.
    QVector<int> sharedOut(const QVector<TableQuery>& queries) const;
    // The figures of the queries of those indexes, in a read of figures of this connection.
    bool tableStats(const QVector<TableQuery>& queries, const QVector<int>& indexes,
                    std::vector<QVector<TableStats>>& figures);
    // The figures of one table in the current read.
    bool tableStats(const TableQuery& query, QVector<TableStats>& stats);
    // The first row of the query in its order, none without rows; false with the failure recorded.
    bool firstRow(const TableQuery& query, std::optional<EventRow>& row);
    // The first row of the query in time order and the last; none without rows.
    bool oldestAndNewest(const TableQuery& query, std::optional<EventRow>& oldest, std::optional<EventRow>& newest);
    // Whether a bounded query's figures may come from the time map's entries and the table's own count: a read of
    // figures, a table read through the map, and no condition that the entries know nothing of (a column matched,
    // a position).
    bool countsThroughMap(const TableQuery& read) const;
    // In the read of figures: the rowID up to which the table's entries may count rows that are gone, so that those
    // ending after it count exactly their rows; none when the map does not account for the table's rows.
    bool exactHorizon(const TableQuery& read, std::optional<qint64>& horizon);
    // The rows of a table in the read of figures, from the table's own count.
    bool tableRows(const TableQuery& read, qint64& rows);
    // The figures of --stats through the map (see countsThroughMap()).
    bool mappedStats(const TableQuery& read, TableStats& stats);
    // The statement's rows of a key and a count, the key as text.
    bool keyCounts(const TableQuery& read, const BuiltQuery& built, QVector<QPair<QByteArray, qint64>>& counts);
    // Per value of the column among the query's rows, its count, counted here rather than by SQLite's sorter.
    bool valueCounts(const TableQuery& read, const QString& column, QVector<QPair<QByteArray, qint64>>& counts);
    // The query bounded by the rowIDs of the read's start.
    TableQuery bounded(const TableQuery& query) const;
    // The values of the first row of each statement in turn, none for NULL.
    bool values(const TableQuery& query, const QVector<BuiltQuery>& queries, QVector<std::optional<qint64>>& values);
    // The sizes of the database and of its write-ahead journal.
    std::pair<qint64, qint64> fileSizes() const;

    sqlite3* m_db = nullptr;
    // Whether the database has a time map; tables are read through it unless they still have the index on time
    // of an earlier version.
    bool m_hasTimeMap = false;
    QString m_path;
    QString m_error;
    std::optional<qint64> m_dataVersion;
    // Whether a read of figures holds its transaction open.
    bool m_snapshot = false;
    // Per table, the highest rowID when the read began; none outside a read.
    std::optional<std::array<qint64, eventTableCount>> m_bounds;
    // Per table, the time map's mark when the read began; none for a table read otherwise, or outside a read.
    std::array<std::optional<qint64>, eventTableCount> m_marks;
    std::function<bool()> m_stopCheck;
    std::unique_ptr<SqliteStore> m_helper;
};

#endif
