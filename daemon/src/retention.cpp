#include "retention.h"

#include "configsettings.h"
#include "daemoncounters.h"
#include "programmessagehandler.h"

#include <QDateTime>
#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <limits>

namespace {

constexpr qint64 msPerDay = 24 * 60 * 60 * 1000;
constexpr qint64 bytesPerMiB = 1024 * 1024;
// Rows of one table examined by one step of pruning by age: deleting them takes a few milliseconds.
constexpr int stepRows = 2000;
// Windows of the sweep per table and pass: a table of ten million rows is swept within ten minutes.
constexpr int sweepWindows = 8;
// Rows of one table deleted by one step of pruning by size: about one per KiB above the bound, so that the
// database ends little below it, and at least a few hundred, so that a flood is caught up with.
constexpr int minSizeStepRows = 256;
constexpr qint64 sizeStepBytesPerRow = 1024;
// The time that one run may take before the event loop reads datagrams again.
constexpr int runBudgetMs = 20;
// A pass that is not finished goes on this soon when no commit comes first.
constexpr int continueDelayMs = 10;
// After a run, pruning rests this many times as long as the run took: at most a quarter of the daemon's time,
// so that a flood is stored first and the database goes back below maxsize after it.
constexpr int restPerRunTime = 3;
constexpr int passIntervalMs = 1000;
// Unsent rows that keep being pruned are reported at most this often.
constexpr int lostReportIntervalMs = 10000;

// The tables that hold events: those with a time and the mark of the master database.
const char eventTablesQuery[] =
    "SELECT name FROM sqlite_master AS t WHERE type = 'table' "
    "AND EXISTS (SELECT 1 FROM pragma_table_info(t.name) WHERE name = 'time') "
    "AND EXISTS (SELECT 1 FROM pragma_table_info(t.name) WHERE name = 'sentToMasterDB') ORDER BY name";

} // namespace

Retention::Retention(const ConfigSettings& settings, QObject* parent)
    : QObject(parent)
    , m_maxAgeMs(settings.getMaxAgeDays() * msPerDay)
    , m_maxSizeBytes(settings.getMaxSizeMiB() * bytesPerMiB)
    , m_keepUnsent(settings.isMasterConfigured())
{
    m_continueTimer.setSingleShot(true);
    m_continueTimer.setInterval(continueDelayMs);
    connect(&m_continueTimer, &QTimer::timeout, this, &Retention::run);
}

bool Retention::isEnabled() const
{
    return m_maxAgeMs > 0 || m_maxSizeBytes > 0;
}

void Retention::prune()
{
    if (!isEnabled())
        return;
    if (!m_passActive) {
        // The size is cheap to check after every commit; rows grow old slowly, so their pass runs once a second.
        const bool ageDue = m_maxAgeMs > 0 && (!m_sinceAgePass.isValid() || m_sinceAgePass.hasExpired(passIntervalMs));
        if (!ageDue && !(m_maxSizeBytes > 0 && usedBytes() > m_maxSizeBytes))
            return;
        startPass(ageDue);
    }
    run();
}

void Retention::startPass(bool withAge)
{
    if (!m_tablesKnown) {
        QSqlQuery query;
        if (query.exec(QLatin1String(eventTablesQuery))) {
            while (query.next())
                m_tables.append({query.value(0).toString()});
            m_tablesKnown = true;
        }
    }
    m_passActive = true;
    m_prunedInPass = 0;
    if (withAge) {
        m_sinceAgePass.start();
        m_ageCutoffMs = QDateTime::currentMSecsSinceEpoch() - m_maxAgeMs;
    }
    for (Table& table : m_tables) {
        table.frontCursor = 0;
        table.frontDone = !withAge;
        table.sweepWindowsLeft = withAge ? sweepWindows : 0;
    }
}

void Retention::finishPass()
{
    m_passActive = false;
    m_continueTimer.stop();
    if (m_prunedInPass > 0)
        qDebug() << QStringLiteral("Pruned %1 rows.").arg(m_prunedInPass);
    reportLost(true);
}

void Retention::run()
{
    if (!m_passActive || (m_resting.isValid() && !m_resting.hasExpired(m_restMs)))
        return;
    QSqlQuery query;
    // Inside the store's open transaction BEGIN fails: the pass then goes on after the store's commit.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return;
    m_failed = false;
    RunCounts counts;
    QElapsedTimer spent;
    spent.start();
    bool more = true;
    while (more && !m_failed && !spent.hasExpired(runBudgetMs))
        more = step(counts);
    m_restMs = restPerRunTime * spent.elapsed();
    m_resting.start();
    if (m_failed || !query.exec(QStringLiteral("COMMIT"))) {
        if (!m_failed)
            qWarning() << QStringLiteral("Pruning failed: %1").arg(query.lastError().text());
        query.exec(QStringLiteral("ROLLBACK"));
        finishPass();
        return;
    }
    m_prunedInPass += counts.pruned;
    m_lostUnreported += counts.lost;
    daemonCounters().rowsPruned += counts.pruned;
    daemonCounters().rowsLost += counts.lost;
    if (!more) {
        finishPass();
        return;
    }
    reportLost(false);
    m_continueTimer.start(int(qMax<qint64>(continueDelayMs, m_restMs)));
}

bool Retention::step(RunCounts& counts)
{
    if (m_maxSizeBytes > 0) {
        const qint64 excess = usedBytes() - m_maxSizeBytes;
        if (excess > 0)
            return pruneBySize(excess, counts);
    }
    for (Table& table : m_tables) {
        if (!table.frontDone || table.sweepWindowsLeft > 0) {
            if (!pruneByAge(table, counts)) {
                table.frontDone = true;
                table.sweepWindowsLeft = 0;
            }
            return true;
        }
    }
    return false;
}

bool Retention::execute(QSqlQuery& query)
{
    if (query.exec())
        return true;
    qWarning() << QStringLiteral("Pruning failed: %1").arg(query.lastError().text());
    m_failed = true;
    return false;
}

qint64 Retention::usedBytes()
{
    qint64 values[3] = {};
    const char* const pragmas[] = {"page_count", "freelist_count", "page_size"};
    QSqlQuery query;
    for (int i = 0; i < 3; ++i) {
        query.prepare(QStringLiteral("PRAGMA %1").arg(QLatin1String(pragmas[i])));
        if (!execute(query) || !query.next())
            return 0;
        values[i] = query.value(0).toLongLong();
    }
    return (values[0] - values[1]) * values[2];
}

// Deletes the rows up to a time that leaves the database's oldest rows gone: the time of the last row of the
// step's window in the table where that time is earliest. At least that table's window goes.
bool Retention::pruneBySize(qint64 excessBytes, RunCounts& counts)
{
    struct Window
    {
        const Table* table;
        qint64 lastRowId;
    };
    const int windowRows = int(qBound<qint64>(minSizeStepRows, excessBytes / sizeStepBytesPerRow, stepRows));
    QVector<Window> windows;
    qint64 upToTime = std::numeric_limits<qint64>::max();
    QSqlQuery query;
    for (const Table& table : m_tables) {
        query.prepare(QStringLiteral("SELECT max(rowID), max(time) FROM (SELECT rowID, time FROM %1 ORDER BY rowID "
                                     "LIMIT %2)")
                          .arg(table.name)
                          .arg(windowRows));
        if (!execute(query))
            return false;
        if (query.next() && !query.value(0).isNull()) {
            windows.append({&table, query.value(0).toLongLong()});
            upToTime = qMin(upToTime, query.value(1).toLongLong());
        }
    }

    quint64 deleted = 0;
    for (const Window& window : windows) {
        const QString range = QStringLiteral("FROM %1 WHERE rowID <= %2 AND time <= %3")
                                  .arg(window.table->name)
                                  .arg(window.lastRowId)
                                  .arg(upToTime);
        if (m_keepUnsent) {
            query.prepare(QStringLiteral("SELECT count(*) ") + range + QStringLiteral(" AND sentToMasterDB = 0"));
            if (!execute(query) || !query.next())
                return false;
            counts.lost += query.value(0).toULongLong();
        }
        query.prepare(QStringLiteral("DELETE ") + range);
        if (!execute(query))
            return false;
        deleted += quint64(query.numRowsAffected());
    }
    counts.pruned += deleted;
    return deleted > 0;
}

bool Retention::pruneByAge(Table& table, RunCounts& counts)
{
    bool full = false;
    const quint64 before = counts.pruned;
    if (!table.frontDone) {
        // The front is done at the first window that holds no row to prune: what follows is newer.
        table.frontDone = !pruneAgeWindow(table.name, table.frontCursor, full, counts) || !full
                          || counts.pruned == before;
        return true;
    }
    if (!pruneAgeWindow(table.name, table.sweepCursor, full, counts) || !full) {
        // Round the table once: the sweep starts from its front again in the next pass.
        table.sweepCursor = 0;
        table.sweepWindowsLeft = 0;
        return false;
    }
    return --table.sweepWindowsLeft > 0;
}

bool Retention::pruneAgeWindow(const QString& tableName, qint64& cursor, bool& full, RunCounts& counts)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("SELECT max(rowID), count(*) FROM (SELECT rowID FROM %1 WHERE rowID > %2 "
                                 "ORDER BY rowID LIMIT %3)")
                      .arg(tableName)
                      .arg(cursor)
                      .arg(stepRows));
    if (!execute(query) || !query.next() || query.value(0).isNull())
        return false;
    const qint64 lastRowId = query.value(0).toLongLong();
    full = query.value(1).toInt() == stepRows;
    query.prepare(QStringLiteral("DELETE FROM %1 WHERE rowID > %2 AND rowID <= %3 AND time < %4%5")
                      .arg(tableName)
                      .arg(cursor)
                      .arg(lastRowId)
                      .arg(m_ageCutoffMs)
                      .arg(m_keepUnsent ? QStringLiteral(" AND sentToMasterDB <> 0") : QString()));
    if (!execute(query))
        return false;
    counts.pruned += quint64(query.numRowsAffected());
    cursor = lastRowId;
    return true;
}

void Retention::reportLost(bool force)
{
    if (m_lostUnreported == 0
        || (!force && m_sinceLostReport.isValid() && !m_sinceLostReport.hasExpired(lostReportIntervalMs)))
        return;
    writeAlways(QtWarningMsg, QStringLiteral("Pruned %1 rows that the master database had not received, to keep "
                                             "the database within maxsize; they are lost")
                                  .arg(m_lostUnreported));
    m_lostUnreported = 0;
    m_sinceLostReport.start();
}
