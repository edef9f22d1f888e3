#ifndef DATABASEWRAPPER_H
#define DATABASEWRAPPER_H

#include "checkpointer.h"
#include "eventmodel.h"
#include "logmessage.pb.h"
#include "rowbuffer.h"
#include "timemap.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <memory>
#include <string>
#include <vector>

class ConfigSettings;
struct sqlite3;
struct sqlite3_stmt;

// Appends every payload of every event as one row of its table in the SQLite database, through a connection of its
// own; a thread of its own copies the write-ahead journal into the database.
//
// Rows written one after another share a transaction, committed within a few tens of milliseconds of its first row,
// or sooner when it grows large; commit() and the destructor commit it at once. While statement reports are not
// shown, the rows of one table are gathered and written many to a statement. The time map's entries of the
// transaction's rows are written just before its COMMIT.
//
// Every failure of the open transaction (a statement, the map's writes or the COMMIT) goes through recover(), which
// rolls the whole transaction back and decides once for all of its rows: for a cause that may pass (a full disk, an
// I/O error, a lock held past the busy timeout, a read-only moment) they are held in memory and written again about
// once a second; for any other cause they are written again one to a statement, so that only the rows that fail by
// themselves are lost. Arrival order holds throughout: committed rows, then the open transaction's rows, then the
// held rows, after which new rows queue while any are held.
class DataBaseWrapper : public QObject
{
    Q_OBJECT

public:
    // Opens the database at the configuration's path and creates the tables that are missing. A database that
    // cannot be served (a directory, not SQLite, another program's tables, not writable) leaves it not ready.
    DataBaseWrapper(const ConfigSettings& settings, QObject* parent);
    // Commits the rows that are still pending.
    ~DataBaseWrapper() override;

    // True when the database is open, all nine tables exist and a write succeeded.
    bool isReady() const;
    // Why the database is not ready, and what to do; empty when it is.
    QString errorString() const;
    // The store's connection, for the pruning that works between its transactions; null when not open.
    sqlite3* connection() const { return m_db; }
    // The memory that rows waiting for a retry may take; past it the newest rows are lost.
    void setMaxHeldBytes(qint64 bytes);
    // Tries once more to store the rows held in memory; the number of rows still held.
    int flushHeld();
    // Counts the rows still held as lost and lets them go, as at a stop; their number.
    int abandonHeld();
    // The table's INSERT with the values of the given number of rows, as the store writes them while no statement
    // report is shown; one row's is the statement that it reports.
    static std::string insertText(EventKindId kind, size_t rows);
    // When the write-ahead journal starts again from its beginning, SQLite cuts its file back to this size, so that
    // after a burst it keeps no more of the disk; retention lowers it for a small maxsize.
    static constexpr qint64 journalSizeLimitBytes = 16 * 1024 * 1024;

signals:
    // A transaction was committed; no transaction is open while the signal is delivered.
    void committed();

public slots:
    void newLogEvent(LogEvent* event);
    void handleDumps(const CoreDump& msg);
    void handleReboots(const Reboot& msg);
    void handleWatchdogs(const WatchDog& msg);
    void handleJoinlayers(const JoinLayer& msg);
    void handleSpecfiles(const SpecfileUse& msg);
    void handleSystemloads(const SystemLoad& msg);
    void handleMachines(const MachineConfig& msg);
    void handleGeneric(const GenericLogMsg& msg);
    // Commits the rows written so far; does nothing when none are pending.
    void commit();

private:
    // Failed rows of one table not yet reported.
    struct FailureSummary
    {
        quint64 count = 0;
        QString error;
        QElapsedTimer sinceReport;
    };

    // Opens the file and refuses what cannot be served; false with m_errorString set.
    bool open();
    bool tuneConnection();
    // Creates the tables and the time map, and checks by a write that the database takes them; one transaction.
    bool createTables();
    // Stores one payload of the given kind, its texts as valid UTF-8.
    void insertPayload(const EventKind& kind, const google::protobuf::Message& payload, bool endsEvent);
    void insertRow(const RowView& row);
    // Writes the row that m_transaction holds at offset, beginning the transaction when none is open: at once in a
    // statement of its own with its report, or gathered with its table's rows. False after a failure, which
    // recover() has handled.
    bool writeRow(size_t offset, bool report);
    // Writes the gathered rows of one table, in statements of the most rows, or all of them in the largest
    // statements they fill; SQLite's result code.
    int writeGathered(EventKindId kind, bool all);
    int writeAllGathered();
    static void bind(sqlite3_stmt* statement, int firstParameter, const RowView& row);
    sqlite3_stmt* multiRowStatement(EventKindId kind, size_t size);
    sqlite3_stmt* insertStatement(EventKindId kind, bool report);
    // Steps an INSERT of rows rows; notes their rowIDs in the time map when it succeeds. SQLite's result code.
    int stepInsert(sqlite3_stmt* statement, EventKindId kind, const RowView* const* rows, size_t count);
    int step(sqlite3_stmt* statement);
    bool begin();
    // Writes the time map and commits; false after a failure, which recover() has handled.
    bool finishTransaction(int mapBudgetMs);
    // Whether the open transaction holds as many rows or bytes as one may.
    bool transactionFull() const;
    // The one decision after a failure with code of the open transaction: rolls it back, then holds all of its rows
    // or writes them again one by one.
    void recover(int code);
    // Writes the rows one to a statement, in transactions of their own; a row that fails by itself is lost, and a
    // failure that may pass holds the rows from there on. Never calls recover().
    void replay(RowBuffer rows);
    // Rolls back what SQLite still holds of the open transaction, and forgets it.
    void rollBack();
    // Reports, once per episode, that rows are held from now on.
    void startHolding(const QString& cause);
    void holdInFront(RowBuffer rows);
    void holdRow(const RowView& row);
    void syncHeldCount();
    // Writes the held rows again from the front, until they are all stored, a failure stops it, or budgetMs pass.
    void retryHeld(int budgetMs);
    // Maps rows that the store did not write, between its own transactions.
    void mapBacklog();
    static void countCommitted(quint64 rows, quint64 events);
    // The journal's pages after each commit, from SQLite's hook; asks for a checkpoint when enough have gathered.
    static int journalWritten(void* store, sqlite3* db, const char* name, int pages);
    void loseRow(EventKindId kind, const QString& error);
    // Writes the summaries that are due, or all of them.
    void reportFailures(bool all);
    // SQLite's error and the driver text of the step that failed, worded as Qt's SQLite driver words them.
    QString lastError() const;

    QString m_path;
    QString m_errorString;
    const char* m_failedStep = "";
    // The table of the INSERT that failed last, for the report of held rows; none for another statement.
    const char* m_failedTable = nullptr;
    sqlite3* m_db = nullptr;
    std::unique_ptr<TimeMap> m_timeMap;
    Checkpointer m_checkpointer;
    std::array<sqlite3_stmt*, eventKindCount> m_inserts {};
    // The numbers of rows one statement carries, largest first; a table's gathered rows go out in the largest
    // statements they fill. Chosen by measurement: see docs/performance.md.
    static constexpr std::array<size_t, 3> statementRows {{64, 8, 1}};
    std::array<std::array<sqlite3_stmt*, statementRows.size()>, eventKindCount> m_multiRowInserts {};
    // The repaired copies of the texts of the row being stored, when they were not valid UTF-8.
    std::array<std::string, maxEventColumns> m_repaired;
    sqlite3_stmt* m_begin = nullptr;
    sqlite3_stmt* m_commit = nullptr;
    sqlite3_stmt* m_rollback = nullptr;

    // The open transaction: begun in SQLite, its rows in arrival order (written or gathered), and for each table the
    // offsets in m_transaction of its rows not yet written. Invariant: m_inTransaction whenever m_transaction holds
    // rows; every row of m_transaction arrived before every held row.
    bool m_inTransaction = false;
    RowBuffer m_transaction;
    std::array<std::vector<size_t>, eventKindCount> m_gathered;
    QElapsedTimer m_transactionAge;
    QTimer m_commitTimer;
    // Whether rows wait to be written until the journal may start again (see writeRow()).
    bool m_waitingForCheckpoint = false;
    int m_journalPages = 0;

    HeldRows m_held;
    qint64 m_maxHeldBytes = 64 * 1024 * 1024;
    bool m_holding = false;
    quint64 m_storedBeforeHolding = 0;
    quint64 m_lostPastBound = 0;
    bool m_boundReported = false;
    QTimer m_retryTimer;
    // Set by a failure that holds rows, so that a retry stops at its first failure until the next tick.
    bool m_heldAgain = false;

    QTimer m_mapTimer;
    QElapsedTimer m_mappingSince;

    std::array<FailureSummary, eventKindCount> m_failures;
    QTimer m_failureTimer;
};

#endif
