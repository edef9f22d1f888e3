#ifndef RETENTION_H
#define RETENTION_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QVector>

class ConfigSettings;

// Prunes the event tables of the store's database, on Qt's default SQL connection, by age ("maxage" days) and
// by size ("maxsize" MiB of pages in use), oldest rows first. It works between the store's commits, a few
// thousand rows per table at a time, so that arriving events never wait long. With a master database
// configured, rows not yet sent are kept unless the size bound needs them; such rows are counted as lost.
class Retention : public QObject
{
    Q_OBJECT

public:
    Retention(const ConfigSettings& settings, QObject* parent);

    // False when neither bound is set: the daemon then never prunes.
    bool isEnabled() const;

public slots:
    // Runs when due, right after a commit: a pass at most once a second, continued after the following
    // commits for as long as rows remain to be pruned.
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

    void startPass();
    void finishPass();
    // One step; true while there is more to prune.
    bool step();
    qint64 usedBytes() const;
    bool pruneBySize();
    // One window of the table; true while the table has more to look at in this pass.
    bool pruneByAge(Table& table);
    // Deletes the old rows after the cursor within one window; false when the table has no row after it.
    bool pruneAgeWindow(const QString& tableName, qint64& cursor, bool& full, quint64& deleted);
    void reportLost(bool force);

    const qint64 m_maxAgeMs;
    const qint64 m_maxSizeBytes;
    const bool m_keepUnsent;
    QVector<Table> m_tables;
    bool m_tablesKnown = false;
    bool m_passActive = false;
    qint64 m_ageCutoffMs = 0;
    quint64 m_prunedInPass = 0;
    quint64 m_lostUnreported = 0;
    QElapsedTimer m_sincePass;
    QElapsedTimer m_sinceLostReport;
};

#endif
