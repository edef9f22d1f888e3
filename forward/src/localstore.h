#ifndef LOCALSTORE_H
#define LOCALSTORE_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <atomic>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One local row ready for the master: its payload values as UTF-8 text, integers in decimal.
struct LocalRow
{
    qint64 rowId = 0;
    qint64 time = 0;
    QVector<QByteArray> values;
    // Why a text of the row was altered for the master, empty when none was.
    QString alteration;
};

// A row that the master cannot take as it stands, and why.
struct RefusedRow
{
    qint64 rowId = 0;
    QString reason;
};

// The rows of one table read in one batch: every rowID from firstRowId to lastRowId is either a row or refused.
struct TableBatch
{
    int table = 0;
    qint64 firstRowId = 0;
    qint64 lastRowId = 0;
    QVector<LocalRow> rows;
    QVector<RefusedRow> refused;
};

// What is still to be forwarded.
struct WaitingRows
{
    qint64 count = 0;
    // The time of the oldest waiting row; meaningful when count > 0.
    qint64 oldestTime = 0;
};

// A master server as the forwarder knows it: its system identifier and timeline, 0 where it does not tell them.
struct MasterIdentity
{
    qint64 systemId = 0;
    qint64 timeline = 0;
    bool operator==(const MasterIdentity& other) const
    {
        return systemId == other.systemId && timeline == other.timeline;
    }
};

// The daemon's database seen by the forwarder: its identity, the rows not yet sent and their marking.
class LocalStore
{
public:
    LocalStore();
    ~LocalStore();
    LocalStore(const LocalStore&) = delete;
    LocalStore& operator=(const LocalStore&) = delete;

    // Opens an existing database of the daemon, makes or reads its identity and finds the first unsent row of
    // every table; false with errorString() set otherwise. The identity belongs to this machine and this file:
    // a copy of the database gets one of its own, and identityNotice() then says so.
    bool open(const QString& path);
    QString errorString() const { return m_error; }
    QString sourceId() const { return m_sourceId; }
    QString identityNotice() const { return m_identityNotice; }
    // The rows that earlier forwarders had set aside and this open queued again.
    qint64 requeued() const { return m_requeued; }

    // Reads up to maxRows rows past the read cursors and moves them on, visiting the tables from firstTable on
    // so none waits behind another's backlog; rows that the master cannot take come back refused. Empty on error.
    QVector<TableBatch> readBatch(int maxRows, int firstTable);
    // The master has committed the batches: the rows past them are the waiting ones.
    void committed(const QVector<TableBatch>& batches);
    // Reads again from the first row that the master has not committed.
    void rewind();
    // Marks the batches' rows as sent (1) and their refused rows as set aside (2), in short transactions of a
    // bounded number of rows each; the error, empty when all are marked. Uses a connection of its own: it may
    // run on another thread while this one reads, never twice at once.
    QString markSent(const QVector<TableBatch>& batches) const;
    WaitingRows waiting();

    // The master server that this database's rows were last written to, as recorded; zeros when none is.
    MasterIdentity lastMaster() const { return m_lastMaster; }
    // Records it when it changed; false with errorString() set when the database refused.
    bool recordLastMaster(const MasterIdentity& master);

    // Compares the highest rowID of this source that the master holds in each table with the rows committed:
    // readRefill() reads again the rows above it that are marked sent, unless older than cutoffMs or marked under
    // an earlier identity of this database. The tables where the master may lack rows, in the model's order.
    QVector<int> planRefill(const QVector<qint64>& masterHighest, qint64 cutoffMs);
    bool refilling() const;
    // Up to maxRows of those rows, in rowID order per table; once none is left, refilling() is false. Empty on
    // error, with errorString() set.
    QVector<TableBatch> readRefill(int maxRows);
    // From now on a marking waits for the write lock only a little longer; the rows it leaves are sent again.
    void requestStop();

private:
    struct Identity
    {
        bool hasTable = false;
        bool hasColumns = false;
        QString source;
        QString machine;
        QString file;
    };
    enum class IdentityChange { None, Create, AddColumns, Adopt, Renew };

    bool exec(const QString& sql);
    bool readIdentity(Identity* identity);
    IdentityChange identityChange(const Identity& identity) const;
    // Makes, completes or renews the identity in one write transaction. A new identity's marks begin after the
    // rows read so far, which were sent (if at all) under another identity.
    bool changeIdentity();
    // Per table, the rowID before the first row not yet sent, or the highest rowID when all are.
    bool readCursors(std::vector<qint64>* cursors);
    // The forwarder's facts kept in the database: the marks of an earlier identity and the master last written to.
    bool readState();
    // Sets one of those facts, in the write transaction open.
    bool setState(const QString& key, qint64 value);
    // Reads the rows of one table that the bound statement selects into the batch, counting them off remaining.
    bool readRows(sqlite3_stmt* statement, TableBatch* batch, int* remaining);
    // Once per database: the rows that earlier forwarders set aside (sentToMasterDB = 2) are to be sent again.
    bool requeueSetAside();
    // Takes the write lock as soon as the daemon lets go of it, within the busy timeout or the stop's.
    bool beginWrite(sqlite3* db, QString* error) const;
    // Commits (or rolls back) the write transaction; false when it is not committed.
    static bool endWrite(sqlite3* db, bool commit, QString* error);

    QString m_connection;
    QString m_error;
    QString m_sourceId;
    QString m_identityNotice;
    // This machine's identity and the database file's absolute path, which the source identity belongs to.
    QString m_machine;
    QString m_file;
    // When a stop was requested, in milliseconds since the epoch; 0 before.
    std::atomic<qint64> m_stopRequestedMs{0};
    qint64 m_requeued = 0;
    sqlite3* m_db = nullptr;
    sqlite3* m_markDb = nullptr;
    QVector<sqlite3_stmt*> m_selects;
    QVector<sqlite3_stmt*> m_refillSelects;
    MasterIdentity m_lastMaster;
    // Per table, the rowIDs up to which the rows were marked under an earlier identity of this database.
    std::vector<qint64> m_floors;
    // Per table, the rows still to be sent again lie past m_refillFrom up to m_refillTo.
    std::vector<qint64> m_refillFrom;
    std::vector<qint64> m_refillTo;
    qint64 m_refillCutoffMs = 0;
    // The last rowID read and the last rowID committed on the master, per table.
    std::vector<qint64> m_cursors;
    std::vector<qint64> m_committed;
};

#endif
