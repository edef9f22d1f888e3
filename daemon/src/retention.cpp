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
// Rows of one table deleted by one step of pruning by size: small, as the step may go below the bound by that much.
constexpr int sizeStepRows = 256;
// The time that one run after a commit may take before the event loop reads datagrams again.
constexpr int runBudgetMs = 20;
constexpr int passIntervalMs = 1000;
// Unsent rows that keep being pruned are reported at most this often.
constexpr int lostReportIntervalMs = 10000;

// The tables that hold events: those with a time and the mark of the master database.
const char eventTablesQuery[] =
    "SELECT name FROM sqlite_master AS t WHERE type = 'table' "
    "AND EXISTS (SELECT 1 FROM pragma_table_info(t.name) WHERE name = 'time') "
    "AND EXISTS (SELECT 1 FROM pragma_table_info(t.name) WHERE name = 'sentToMasterDB') ORDER BY name";

qint64 pragmaValue(const char* name)
{
    QSqlQuery query;
    return query.exec(QStringLiteral("PRAGMA %1").arg(QLatin1String(name))) && query.next()
               ? query.value(0).toLongLong()
               : 0;
}

bool execute(QSqlQuery& query)
{
    if (query.exec())
        return true;
    qWarning() << QStringLiteral("Pruning failed: %1").arg(query.lastError().text());
    return false;
}

} // namespace

Retention::Retention(const ConfigSettings& settings, QObject* parent)
    : QObject(parent)
    , m_maxAgeMs(settings.getMaxAgeDays() * msPerDay)
    , m_maxSizeBytes(settings.getMaxSizeMiB() * bytesPerMiB)
    , m_keepUnsent(settings.isMasterConfigured())
{
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
        if (m_sincePass.isValid() && !m_sincePass.hasExpired(passIntervalMs))
            return;
        startPass();
    }
    QElapsedTimer spent;
    spent.start();
    bool more = true;
    while (more && !spent.hasExpired(runBudgetMs))
        more = step();
    if (more)
        reportLost(false);
    else
        finishPass();
}

void Retention::startPass()
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
    m_ageCutoffMs = QDateTime::currentMSecsSinceEpoch() - m_maxAgeMs;
    for (Table& table : m_tables) {
        table.frontCursor = 0;
        table.frontDone = m_maxAgeMs == 0;
        table.sweepWindowsLeft = m_maxAgeMs == 0 ? 0 : sweepWindows;
    }
}

void Retention::finishPass()
{
    m_passActive = false;
    m_sincePass.start();
    if (m_prunedInPass > 0)
        qDebug() << QStringLiteral("Pruned %1 rows.").arg(m_prunedInPass);
    reportLost(true);
}

bool Retention::step()
{
    if (m_maxSizeBytes > 0 && usedBytes() > m_maxSizeBytes)
        return pruneBySize();
    for (Table& table : m_tables) {
        if (!table.frontDone || table.sweepWindowsLeft > 0) {
            if (!pruneByAge(table)) {
                table.frontDone = true;
                table.sweepWindowsLeft = 0;
            }
            return true;
        }
    }
    return false;
}

qint64 Retention::usedBytes() const
{
    return (pragmaValue("page_count") - pragmaValue("freelist_count")) * pragmaValue("page_size");
}

// Deletes the rows up to a time that leaves the database's oldest rows gone: the time of the last row of the
// step's window in the table where that time is earliest. At least that table's window goes.
bool Retention::pruneBySize()
{
    struct Window
    {
        const Table* table;
        qint64 lastRowId;
    };
    QVector<Window> windows;
    qint64 upToTime = std::numeric_limits<qint64>::max();
    QSqlQuery query;
    for (const Table& table : m_tables) {
        query.prepare(QStringLiteral("SELECT max(rowID), max(time) FROM (SELECT rowID, time FROM %1 ORDER BY rowID "
                                     "LIMIT %2)")
                          .arg(table.name)
                          .arg(sizeStepRows));
        if (!execute(query))
            return false;
        if (query.next() && !query.value(0).isNull()) {
            windows.append({&table, query.value(0).toLongLong()});
            upToTime = qMin(upToTime, query.value(1).toLongLong());
        }
    }
    if (windows.isEmpty() || !query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;

    quint64 deleted = 0;
    quint64 unsent = 0;
    bool stored = true;
    for (const Window& window : windows) {
        const QString range = QStringLiteral("FROM %1 WHERE rowID <= %2 AND time <= %3")
                                  .arg(window.table->name)
                                  .arg(window.lastRowId)
                                  .arg(upToTime);
        if (m_keepUnsent) {
            query.prepare(QStringLiteral("SELECT count(*) ") + range + QStringLiteral(" AND sentToMasterDB = 0"));
            stored = execute(query) && query.next();
            if (!stored)
                break;
            unsent += query.value(0).toULongLong();
        }
        query.prepare(QStringLiteral("DELETE ") + range);
        stored = execute(query);
        if (!stored)
            break;
        deleted += quint64(query.numRowsAffected());
    }
    stored = stored && query.exec(QStringLiteral("COMMIT"));
    if (!stored) {
        query.exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    m_prunedInPass += deleted;
    daemonCounters().rowsPruned += deleted;
    daemonCounters().rowsLost += unsent;
    m_lostUnreported += unsent;
    return deleted > 0;
}

bool Retention::pruneByAge(Table& table)
{
    bool full = false;
    quint64 deleted = 0;
    if (!table.frontDone) {
        // The front is done at the first window that holds no row to prune: what follows is newer.
        table.frontDone = !pruneAgeWindow(table.name, table.frontCursor, full, deleted) || !full || deleted == 0;
        return true;
    }
    if (!pruneAgeWindow(table.name, table.sweepCursor, full, deleted) || !full) {
        // Round the table once: the sweep starts from its front again in the next pass.
        table.sweepCursor = 0;
        table.sweepWindowsLeft = 0;
        return false;
    }
    return --table.sweepWindowsLeft > 0;
}

bool Retention::pruneAgeWindow(const QString& tableName, qint64& cursor, bool& full, quint64& deleted)
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
    deleted = quint64(query.numRowsAffected());
    cursor = lastRowId;
    m_prunedInPass += deleted;
    daemonCounters().rowsPruned += deleted;
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
