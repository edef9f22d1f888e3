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
    // Makes, completes or renews the identity in one write transaction.
    bool changeIdentity();
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
    // The last rowID read and the last rowID committed on the master, per table.
    std::vector<qint64> m_cursors;
    std::vector<qint64> m_committed;
};

#endif
