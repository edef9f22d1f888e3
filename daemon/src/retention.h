#ifndef RETENTION_H
#define RETENTION_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>

#include "eventmodel.h"

class ConfigSettings;
struct sqlite3;
struct sqlite3_stmt;

// Prunes the event model's tables through the store's connection, by age ("maxage" days) and by size ("maxsize" MiB
// of pages in use and of write-ahead journal), oldest rows first, and the time map's entries whose rows are gone. It
// works between the store's transactions, a few thousand rows at a time, so that arriving events never wait long; a
// database locked by another process is tried again later. With a master database configured, rows not yet sent are
// kept unless the size bound needs them; such rows are counted as lost. The limits are read from the settings at
// every pass.
class Retention : public QObject
{
    Q_OBJECT

public:
    Retention(const ConfigSettings& settings, sqlite3* db, QObject* parent);

    // False when neither bound is set: the daemon then prunes nothing.
    bool isEnabled() const;

public slots:
    // Called after each commit of the store: starts a pass when the database is above maxsize, or for maxage at most
    // once a second, and goes on with a pass that is not finished, by itself when no event arrives.
    void prune();

private:
    // Old rows are looked for from the front of a table, where rows arriving in time order grow old, and by a sweep
    // that goes round the whole table over many passes, for rows that arrived with an old time.
    struct Table
    {
        std::int64_t frontCursor = 0;
        bool frontDone = true;
        std::int64_t sweepCursor = 0;
        int sweepWindowsLeft = 0;
    };

    // What one run deleted, counted once its transaction is committed.
    struct RunCounts
    {
        quint64 pruned = 0;
        quint64 lost = 0;
    };

    void startPass(bool withAge);
    void finishPass();
    // Prunes for a few milliseconds in one transaction.
    void run();
    // One step; true while there is more to prune.
    bool step(RunCounts& counts);
    qint64 usedBytes();
    bool pruneBySize(qint64 excessBytes, RunCounts& counts);
    // One window of the table; true while the table has more to look at in this pass.
    bool pruneByAge(size_t table, RunCounts& counts);
    // Deletes the old rows after the cursor within one window; false when the table has no row after it.
    bool pruneAgeWindow(size_t table, std::int64_t& cursor, bool& full, RunCounts& counts);
    // Runs sql with the values bound to ?1, ?2, ...; the first column of its first row in result when asked. False
    // after a failure, reported once.
    bool execute(const QString& sql, std::initializer_list<std::int64_t> values, std::int64_t* result = nullptr,
                 std::int64_t* second = nullptr);
    void reportLost(bool force);

    const ConfigSettings& m_settings;
    sqlite3* m_db;
    qint64 m_maxAgeMs = 0;
    qint64 m_maxSizeBytes = 0;
    bool m_keepUnsent = false;
    // The journal's limit as last set on the connection.
    qint64 m_journalLimit = 0;
    std::array<Table, eventKindCount> m_tables;
    bool m_passActive = false;
    bool m_failed = false;
    qint64 m_ageCutoffMs = 0;
    quint64 m_prunedInPass = 0;
    quint64 m_lostUnreported = 0;
    QElapsedTimer m_sinceAgePass;
    QElapsedTimer m_sinceLostReport;
    QTimer m_continueTimer;
    QElapsedTimer m_resting;
    qint64 m_restMs = 0;
};

#endif
