#ifndef MASTERSTORE_H
#define MASTERSTORE_H

#include "eventstore.h"
#include "pgconnection.h"

#include <QByteArray>
#include <QMap>

// The master PostgreSQL database that the forwarders fill with the rows of every source, read through libpq.
// A read's statements are made in one read-only transaction, which ends before the first row is handed out:
// held cursors keep the rows, so no snapshot stays open while the output waits. The connection string is
// never shown, only the database and host.
class MasterStore : public EventStore
{
public:
    MasterStore();
    MasterStore(const MasterStore&) = delete;
    MasterStore& operator=(const MasterStore&) = delete;

    // Connects and checks that the master's tables are there; never creates them. A warning about the way to
    // the master goes to the program's messages.
    bool open(const QString& conninfo);

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

    // Runs a statement with text parameters; null with the reason recorded when it does not give expected.
    using Result = PgConnection::Result;
    Result exec(const BuiltQuery& query, int expected, const QString& what);
    // The master's rows of a table after the positions, which every row read moves past it. marks holds each
    // source's last delivery of old rows as seen at the previous look; a source whose mark changed, or is new,
    // is looked for in every partition.
    std::unique_ptr<RowStream> rowsAfter(const TableQuery& query, QMap<QByteArray, qint64>& positions,
                                         QMap<QByteArray, QByteArray>& marks);
    // Ends the read's transaction once its statements are made; the rows come from held cursors and results.
    bool leaveTransaction();

private:
    bool checkTables();
    // Which tables have an hourly summary that counts every row.
    bool readSummaries();
    // The query with every source of the master after a position, 0 for those that it does not name; null on
    // a failure.
    std::optional<TableQuery> withEverySource(const TableQuery& query);
    // The number of sources and the size of the database, as the server writes them.
    bool sizeFigures(QByteArray& sources, QByteArray& bytes) const;
    // Opens the connection to m_conninfo for the reader's statements.
    bool connect();
    // Per table and source, the highest rowID in the read's view.
    bool readPositions();
    // Each source's old_rows_at, as text, empty for none.
    bool readMarks(QMap<QByteArray, QByteArray>& marks);

    QString m_conninfo;
    // Asked for the figures of --stats by a const call.
    mutable PgConnection m_pg;
    QString m_error;
    // Names the server-side cursors of the connection apart.
    int m_cursorCount = 0;
    bool m_inTransaction = false;
    bool m_cursorsOpen = false;
    StorePositions m_positions;
    // Each source's old_rows_at in the same view as the positions.
    QMap<QByteArray, QByteArray> m_marks;
    // Per table, whether its counts come from its hourly summary.
    std::array<bool, eventTableCount> m_summarised{};
    // The master's sources in the view of the read, once asked for.
    std::optional<QVector<QByteArray>> m_sources;
};

#endif
