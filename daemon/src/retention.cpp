#include "retention.h"

#include "configsettings.h"
#include "daemoncounters.h"
#include "databasewrapper.h"
#include "programmessagehandler.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>

#include <sqlite3.h>

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
// A database locked by another process is tried again after this long.
constexpr int busyRestMs = 1000;
// Unsent rows that keep being pruned are reported at most this often.
constexpr int lostReportIntervalMs = 10000;

const char* tableName(size_t table)
{
    return eventKinds()[table].table;
}

} // namespace

Retention::Retention(const ConfigSettings& settings, sqlite3* db, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_db(db)
{
    m_continueTimer.setSingleShot(true);
    m_continueTimer.setInterval(continueDelayMs);
    connect(&m_continueTimer, &QTimer::timeout, this, &Retention::run);
}

bool Retention::isEnabled() const
{
    return m_db && (m_settings.getMaxAgeDays() > 0 || m_settings.getMaxSizeMiB() > 0);
}

void Retention::prune()
{
    if (!isEnabled())
        return;
    if (!m_passActive) {
        m_maxAgeMs = m_settings.getMaxAgeDays() * msPerDay;
        m_maxSizeBytes = m_settings.getMaxSizeMiB() * bytesPerMiB;
        m_keepUnsent = m_settings.isMasterConfigured();
        // The journal counts towards maxsize up to its limit: a quarter of the bound at most, so that rows keep most.
        const qint64 journalLimit = m_maxSizeBytes > 0
                                        ? qMin(DataBaseWrapper::journalSizeLimitBytes, m_maxSizeBytes / 4)
                                        : DataBaseWrapper::journalSizeLimitBytes;
        if (journalLimit != m_journalLimit
            && execute(QStringLiteral("PRAGMA journal_size_limit = %1").arg(journalLimit), {}))
            m_journalLimit = journalLimit;
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
    // Runs between the store's transactions, which commit before they signal; the lock of another process ends the
    // wait after the store's busy timeout, and the pass goes on later.
    const int begun = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (begun != SQLITE_OK) {
        if ((begun & 0xff) != SQLITE_BUSY && (begun & 0xff) != SQLITE_LOCKED) {
            qWarning() << QStringLiteral("Pruning failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db)));
            finishPass();
            return;
        }
        m_restMs = busyRestMs;
        m_resting.start();
        m_continueTimer.start(busyRestMs);
        return;
    }
    m_failed = false;
    RunCounts counts;
    QElapsedTimer spent;
    spent.start();
    bool more = true;
    while (more && !m_failed && !spent.hasExpired(runBudgetMs))
        more = step(counts);
    m_restMs = restPerRunTime * spent.elapsed();
    m_resting.start();
    if (m_failed || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (!m_failed)
            qWarning() << QStringLiteral("Pruning failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db)));
        if (!sqlite3_get_autocommit(m_db))
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
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
    for (size_t t = 0; t < m_tables.size(); ++t) {
        Table& table = m_tables[t];
        if (!table.frontDone || table.sweepWindowsLeft > 0) {
            if (!pruneByAge(t, counts)) {
                table.frontDone = true;
                table.sweepWindowsLeft = 0;
            }
            return true;
        }
    }
    return false;
}

bool Retention::execute(const QString& sql, std::initializer_list<std::int64_t> values, std::int64_t* result,
                        std::int64_t* second)
{
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &statement, nullptr);
    int parameter = 0;
    for (const std::int64_t value : values)
        sqlite3_bind_int64(statement, ++parameter, value);
    if (code == SQLITE_OK)
        code = sqlite3_step(statement);
    if (code == SQLITE_ROW) {
        if (result)
            *result = sqlite3_column_type(statement, 0) == SQLITE_NULL ? -1 : sqlite3_column_int64(statement, 0);
        if (second)
            *second = sqlite3_column_int64(statement, 1);
        code = SQLITE_DONE;
    }
    sqlite3_finalize(statement);
    if (code == SQLITE_DONE)
        return true;
    if (!m_failed)
        qWarning() << QStringLiteral("Pruning failed: %1").arg(QString::fromUtf8(sqlite3_errmsg(m_db)));
    m_failed = true;
    return false;
}

// The pages in use and the write-ahead journal, which takes the disk too; a journal past its limit after a burst
// counts as its limit, to which SQLite cuts it back, so that a burst does not prune rows that the bound keeps.
qint64 Retention::usedBytes()
{
    std::int64_t pages = 0;
    std::int64_t free = 0;
    std::int64_t pageSize = 0;
    if (!execute(QStringLiteral("PRAGMA page_count"), {}, &pages) || !execute(QStringLiteral("PRAGMA freelist_count"), {}, &free)
        || !execute(QStringLiteral("PRAGMA page_size"), {}, &pageSize))
        return 0;
    const QFileInfo journal(QString::fromUtf8(sqlite3_db_filename(m_db, "main")) + QStringLiteral("-wal"));
    const qint64 journalBytes = journal.exists() ? qMin(journal.size(), m_journalLimit) : 0;
    return (pages - free) * pageSize + journalBytes;
}

// Deletes the rows up to a time that leaves the database's oldest rows gone: the time of the last row of the
// step's window in the table where that time is earliest. At least that table's window goes.
bool Retention::pruneBySize(qint64 excessBytes, RunCounts& counts)
{
    const int windowRows = int(qBound<qint64>(minSizeStepRows, excessBytes / sizeStepBytesPerRow, stepRows));
    std::array<std::int64_t, eventKindCount> lastRowIds;
    std::int64_t upToTime = std::numeric_limits<std::int64_t>::max();
    for (size_t t = 0; t < m_tables.size(); ++t) {
        std::int64_t lastTime = 0;
        if (!execute(QStringLiteral("SELECT max(rowID), max(time) FROM (SELECT rowID, time FROM \"%1\" ORDER BY rowID "
                                    "LIMIT ?1)")
                         .arg(QLatin1String(tableName(t))),
                     {windowRows}, &lastRowIds[t], &lastTime))
            return false;
        if (lastRowIds[t] >= 0)
            upToTime = qMin(upToTime, lastTime);
    }

    quint64 deleted = 0;
    for (size_t t = 0; t < m_tables.size(); ++t) {
        if (lastRowIds[t] < 0)
            continue;
        const QString table = QLatin1String(tableName(t));
        const QString range = QStringLiteral("FROM \"%1\" WHERE rowID <= ?1 AND time <= ?2").arg(table);
        if (m_keepUnsent) {
            std::int64_t unsent = 0;
            if (!execute(QStringLiteral("SELECT count(*) ") + range + QStringLiteral(" AND sentToMasterDB = 0"),
                         {lastRowIds[t], upToTime}, &unsent))
                return false;
            counts.lost += quint64(unsent);
        }
        if (!execute(QStringLiteral("DELETE ") + range, {lastRowIds[t], upToTime}))
            return false;
        deleted += quint64(sqlite3_changes(m_db));
        // The entries that end in the range and hold no time after the bound held only rows now gone.
        if (!execute(QStringLiteral("DELETE FROM %1 WHERE tableName = '%2' AND lastRowID <= ?1 AND maxTime <= ?2")
                         .arg(QLatin1String(timeMapTable), table),
                     {lastRowIds[t], upToTime}))
            return false;
    }
    counts.pruned += deleted;
    return deleted > 0;
}

bool Retention::pruneByAge(size_t t, RunCounts& counts)
{
    Table& table = m_tables[t];
    bool full = false;
    const quint64 before = counts.pruned;
    if (!table.frontDone) {
        // The front is done at the first window that holds no row to prune: what follows is newer.
        table.frontDone = !pruneAgeWindow(t, table.frontCursor, full, counts) || !full || counts.pruned == before;
        return true;
    }
    if (!pruneAgeWindow(t, table.sweepCursor, full, counts) || !full) {
        // Round the table once: the sweep starts from its front again in the next pass.
        table.sweepCursor = 0;
        table.sweepWindowsLeft = 0;
        return false;
    }
    return --table.sweepWindowsLeft > 0;
}

bool Retention::pruneAgeWindow(size_t t, std::int64_t& cursor, bool& full, RunCounts& counts)
{
    const QString table = QLatin1String(tableName(t));
    std::int64_t lastRowId = -1;
    std::int64_t rows = 0;
    if (!execute(QStringLiteral("SELECT max(rowID), count(*) FROM (SELECT rowID FROM \"%1\" WHERE rowID > ?1 ORDER BY "
                                "rowID LIMIT ?2)")
                     .arg(table),
                 {cursor, stepRows}, &lastRowId, &rows)
        || lastRowId < 0)
        return false;
    full = rows == stepRows;
    if (!execute(QStringLiteral("DELETE FROM \"%1\" WHERE rowID > ?1 AND rowID <= ?2 AND time < ?3%4")
                     .arg(table, m_keepUnsent ? QStringLiteral(" AND sentToMasterDB <> 0") : QString()),
                 {cursor, lastRowId, m_ageCutoffMs}))
        return false;
    counts.pruned += quint64(sqlite3_changes(m_db));
    // The entries that end in the window, all older than the cutoff, once none of their rows is left.
    if (!execute(QStringLiteral("DELETE FROM %1 AS m WHERE tableName = '%2' AND lastRowID > ?1 AND lastRowID <= ?2 "
                                "AND maxTime < ?3 AND NOT EXISTS (SELECT 1 FROM \"%2\" AS t WHERE %3)")
                     .arg(QLatin1String(timeMapTable), table, QLatin1String(timeMapMembership)),
                 {cursor, lastRowId, m_ageCutoffMs}))
        return false;
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
