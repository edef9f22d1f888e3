#ifndef MASTERSTORE_H
#define MASTERSTORE_H

#include "eventstore.h"

#include <QByteArray>
#include <QMap>

struct pg_conn;
struct pg_result;

// The master PostgreSQL database that the forwarders fill with the rows of every source, read through libpq.
// Reads run in read-only transactions; the connection string is never shown, only the database and host.
class MasterStore : public EventStore
{
public:
    MasterStore() = default;
    ~MasterStore() override;
    MasterStore(const MasterStore&) = delete;
    MasterStore& operator=(const MasterStore&) = delete;

    // Connects and checks that the master's tables are there; never creates them. A warning about the way to
    // the master goes to the program's messages.
    bool open(const QString& conninfo);

    bool beginRead() override;
    bool endRead() override;
    std::unique_ptr<RowStream> rows(const TableQuery& query) override;
    bool stats(const TableQuery& query, QVector<TableStats>& stats) override;
    bool hasHosts() const override;
    std::unique_ptr<FollowCursor> followCursor(int table) override;
    bool mayHaveChanged() override;
    int pollIntervalMs() const override;
    bool connectionLost() const override;
    QStringList sizeOnDisk() const override;
    QString errorString() const override;

    // Runs a statement with text parameters; null with the reason recorded when it does not give expected.
    struct ResultDeleter
    {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ResultDeleter>;
    Result exec(const BuiltQuery& query, int expected, const QString& what);
    // The master's rows of a table after the positions, which every row read moves past it. marks holds each
    // source's last delivery of old rows as seen at the previous look; a source whose mark changed, or is new,
    // is looked for in every partition.
    std::unique_ptr<RowStream> rowsAfter(const TableQuery& query, QMap<QByteArray, qint64>& positions,
                                         QMap<QByteArray, QByteArray>& marks);

private:
    bool checkTables();

    pg_conn* m_conn = nullptr;
    QString m_error;
    // Names the server-side cursors of the connection apart.
    int m_cursorCount = 0;
};

#endif
