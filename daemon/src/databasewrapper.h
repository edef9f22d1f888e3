#ifndef DATABASEWRAPPER_H
#define DATABASEWRAPPER_H

#include "eventmodel.h"
#include "logmessage.pb.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

class ConfigSettings;
struct sqlite3;
struct sqlite3_stmt;

// Appends every payload of every event as one row of its table in the SQLite database
// held by Qt's default SQL connection.
//
// Rows written one after another share a transaction, committed within a few tens of
// milliseconds of its first row, or sooner when it grows large; commit() and the destructor
// commit it at once. While statement reports are not shown, the rows of one table in the
// transaction are gathered and written many to a statement, as the table's full statements fill
// and at the commit; a statement that fails hands its rows to the same recovery as single rows. Rows that fail for a cause that may pass (a full disk, an I/O error, a lock
// held too long, a read-only moment) are held in memory and written again about once a second,
// in arrival order; rows arriving meanwhile queue behind them.
class DataBaseWrapper : public QObject
{
    Q_OBJECT

public:
    // Opens the database at the configuration's path and creates the tables that are missing.
    DataBaseWrapper(const ConfigSettings& settings, QObject* parent);
    // Commits the rows that are still pending.
    ~DataBaseWrapper() override;

    // True when the database is open and all nine tables exist.
    bool isReady() const;
    // Why the database is not ready; empty when it is.
    QString errorString() const;
    // The memory that rows waiting for a retry may take; past it the newest rows are lost.
    void setMaxHeldBytes(qint64 bytes);
    // Tries once more to store the rows held in memory; the number of rows still held.
    int flushHeld();
    // The table's INSERT with the values of the given number of rows, as the store writes them
    // while no statement report is shown; one row's is the statement that it reports.
    static std::string insertText(EventKindId kind, size_t rows);

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
    // One row's values as the statement binds them, viewing texts already made valid.
    struct RowView
    {
        EventKindId kind;
        EventValues values;
    };

    // A row's values but its texts, which follow one another in a buffer kept elsewhere.
    struct RowFields
    {
        EventKindId kind = EventKindId::MachineConfig;
        std::uint64_t time = 0;
        std::array<std::uint64_t, maxEventColumns> numbers {};
        std::array<quint32, maxEventColumns> textLengths {};

        // Takes the view's values and appends its texts to text.
        void assign(const RowView& view, std::string& text);
        // The row, its texts read from text.
        RowView viewOver(std::string_view text) const;
    };

    // A row's own copy of its values, for a row held or written again after a failure.
    struct Row : RowFields
    {
        std::string text;

        void assign(const RowView& view);
        RowView view() const { return viewOver(text); }
        qint64 bytes() const;
    };

    // A row of the open transaction, its texts in m_pendingText from textOffset on.
    struct PendingRow : RowFields
    {
        size_t textOffset = 0;
    };

    // Failed rows of one table not yet reported.
    struct FailureSummary
    {
        quint64 count = 0;
        QString error;
        QElapsedTimer sinceReport;
    };

    void tuneConnection();
    void createTables();
    // Stores one payload of the given kind, its texts as valid UTF-8.
    void insertPayload(const EventKind& kind, const google::protobuf::Message& payload);
    void insertRow(const RowView& row);
    // Keeps the row in the open transaction until its table's rows fill a statement or the commit.
    void gather(const RowView& row);
    // Writes the gathered rows of one table, or of every table, in the largest statements they fill.
    void writeGathered(EventKindId kind);
    void writeAllGathered();
    // The rows of the open transaction not yet written, in arrival order, taken out of it.
    std::deque<Row> takeGathered();
    // Carries on after a statement of many rows failed with code: its rows, and the others not yet
    // written, are written one by one, or held or lost as single rows are.
    void recoverGathered(EventKindId kind, int code);
    // The slot in m_pending of a copy of the row.
    size_t appendPending(const RowView& row);
    RowView pendingView(size_t slot) const;
    Row pendingRow(size_t slot) const;
    static void bind(sqlite3_stmt* statement, int firstParameter, const RowView& row);
    sqlite3_stmt* multiRowStatement(EventKindId kind, size_t size);
    // Writes one row inside the open transaction, opening one first, or else by itself; SQLite's result code.
    int write(const RowView& row, bool report, bool inTransaction = true);
    int step(sqlite3_stmt* statement);
    sqlite3_stmt* insertStatement(EventKindId kind, bool report);
    bool begin();
    // Carries on after rows.front() failed with code: holds it or loses it, and writes the rest again.
    void recover(std::deque<Row> rows, int code);
    std::deque<Row> takePending();
    void clearPending();
    // Whether the open transaction holds as many rows or bytes as one may.
    bool transactionFull() const;
    // Reports, once per episode, that rows are held from now on.
    void startHolding(const QString& cause);
    // Holds the rows after a statement of the table failed for a cause that may pass.
    void holdAfterFailure(EventKindId kind, std::deque<Row> rows);
    void holdRow(const RowView& row);
    void holdAtFront(std::deque<Row> rows);
    void syncHeldCount();
    void retryHeld();
    void loseRow(EventKindId kind, const QString& error);
    // Writes the summaries that are due, or all of them.
    void reportFailures(bool all);
    // SQLite's error and the driver text of the step that failed, worded as Qt's SQLite driver words them.
    QString lastError() const;

    const ConfigSettings& m_settings;
    QString m_errorString;
    const char* m_failedStep = "";
    sqlite3* m_db = nullptr;
    std::array<sqlite3_stmt*, eventKindCount> m_inserts {};
    // The numbers of rows one statement carries, largest first; a table's gathered rows go out in
    // the largest statements they fill. Chosen by measurement: see docs/performance.md.
    static constexpr std::array<size_t, 3> statementRows {{64, 8, 1}};
    std::array<std::array<sqlite3_stmt*, statementRows.size()>, eventKindCount> m_multiRowInserts {};
    // The repaired copies of the texts of the row being stored, when they were not valid UTF-8.
    std::array<std::string, maxEventColumns> m_repaired;
    sqlite3_stmt* m_begin = nullptr;
    sqlite3_stmt* m_commit = nullptr;
    sqlite3_stmt* m_rollback = nullptr;
    bool m_inTransaction = false;
    // The rows of the open transaction, kept to write them again should it be rolled back. The
    // slots and the texts' buffer are reused from one transaction to the next, and filled in order,
    // so that keeping the rows costs neither an allocation nor a cache miss of its own per row.
    std::vector<PendingRow> m_pending;
    std::string m_pendingText;
    size_t m_pendingCount = 0;
    // For each table, the slots in m_pending of its rows not yet written, in arrival order.
    std::array<std::vector<size_t>, eventKindCount> m_gathered;
    QElapsedTimer m_transactionAge;
    QTimer m_commitTimer;

    std::deque<Row> m_held;
    qint64 m_heldBytes = 0;
    qint64 m_maxHeldBytes = 64 * 1024 * 1024;
    bool m_holding = false;
    quint64 m_heldStoredBefore = 0;
    quint64 m_lostPastBound = 0;
    bool m_boundReported = false;
    QTimer m_retryTimer;

    std::array<FailureSummary, eventKindCount> m_failures;
    QTimer m_failureTimer;
};

#endif
