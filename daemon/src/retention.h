#ifndef RETENTION_H
#define RETENTION_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

class ConfigSettings;
class QSqlQuery;

// Prunes the event tables of the store's database, on Qt's default SQL connection, by age ("maxage" days) and
// by size ("maxsize" MiB of pages in use), oldest rows first. It works between the store's transactions, a few
// thousand rows at a time, so that arriving events never wait long. With a master database configured, rows
// not yet sent are kept unless the size bound needs them; such rows are counted as lost.
class Retention : public QObject
{
    Q_OBJECT

public:
    Retention(const ConfigSettings& settings, QObject* parent);

    // False when neither bound is set: the daemon then never prunes.
    bool isEnabled() const;

public slots:
    // Called after each commit of the store: starts a pass when the database is above maxsize, or for maxage
    // at most once a second, and goes on with a pass that is not finished, by itself when no event arrives.
    void prune();

private:
    // Old rows are looked for from the front of a table, where rows arriving in time order grow old, and by a
    // sweep that goes round the whole table over many passes, for rows that arrived with an old time.
    struct Table
    {
        QString name;
        qint64 frontCursor = 0;
        bool frontDone = true;
        qint64 sweepCursor = 0;
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
    // Prunes for a few milliseconds in one transaction; does nothing while the store's transaction is open.
    void run();
    // One step; true while there is more to prune.
    bool step(RunCounts& counts);
    qint64 usedBytes();
    bool pruneBySize(qint64 excessBytes, RunCounts& counts);
    // One window of the table; true while the table has more to look at in this pass.
    bool pruneByAge(Table& table, RunCounts& counts);
    // Deletes the old rows after the cursor within one window; false when the table has no row after it.
    bool pruneAgeWindow(const QString& tableName, qint64& cursor, bool& full, RunCounts& counts);
    bool execute(QSqlQuery& query);
    void reportLost(bool force);

    const qint64 m_maxAgeMs;
    const qint64 m_maxSizeBytes;
    const bool m_keepUnsent;
    QVector<Table> m_tables;
    bool m_tablesKnown = false;
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
