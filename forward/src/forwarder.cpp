#include "forwarder.h"

#include "eventmodel.h"
#include "masterschema.h"
#include "programmessagehandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QRandomGenerator>

#include <chrono>
#include <limits>

#include <utility>

namespace {

const int firstRetryDelayMs = 500;
const int markRetryDelayMs = 1000;
// How often the next batch, waiting for the marking of the previous ones, looks whether it has ended.
const int markPollMs = 20;
const int healthIntervalMs = 5 * 60 * 1000;
const int retentionIntervalS = 3600;

// Why the master lacks rows that were marked sent, from the server it is against the one last written to.
QString lossReason(const MasterIdentity& last, const MasterIdentity& now)
{
    if (last.systemId == 0 || now.systemId == 0)
        return QStringLiteral("it holds fewer rows than were marked sent");
    if (now.systemId != last.systemId)
        return QStringLiteral("it is another server than the one last written to");
    if (now.timeline > last.timeline)
        return QStringLiteral("it was promoted since it was last written to (timeline %1, was %2)")
            .arg(now.timeline)
            .arg(last.timeline);
    return QStringLiteral("it holds fewer rows than were marked sent, as after a restore from an earlier copy");
}

qint64 rowCount(const QVector<TableBatch>& batches)
{
    qint64 count = 0;
    for (const TableBatch& batch : batches)
        count += batch.rows.size() + batch.refused.size();
    return count;
}

} // namespace

Forwarder::Forwarder(const ForwardSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_refilled(int(eventKindCount), 0)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Forwarder::step);
    m_healthTimer.setInterval(healthIntervalMs);
    connect(&m_healthTimer, &QTimer::timeout, this, &Forwarder::reportHealth);
}

bool Forwarder::open()
{
    if (!m_local.open(m_settings.dbPath))
        return false;
    if (m_local.requeued() > 0)
        writeAlways(QtInfoMsg, QStringLiteral("%1 rows that an earlier forwarder set aside (sentToMasterDB = 2) are "
                                              "queued again")
                                   .arg(m_local.requeued()));
    m_master = std::make_unique<MasterClient>(m_settings.conninfo, m_local.sourceId(), m_settings.hostName,
                                              m_settings.partitionDays);
    m_master->setStopCheck(m_stopCheck);
    if (!m_local.identityNotice().isEmpty())
        writeAlways(QtWarningMsg, m_local.identityNotice());
    return true;
}

void Forwarder::start()
{
    if (debugLevel >= 1)
        m_healthTimer.start();
    schedule(0);
}

void Forwarder::schedule(int delayMs)
{
    m_timer.start(delayMs);
}

void Forwarder::masterLost()
{
    // A stop request ended the wait: the stop follows from the event loop.
    if (m_master->failure() == PgConnection::Failure::Stopped)
        return;
    ++m_retries;
    if (!m_away) {
        m_away = true;
        writeAlways(QtWarningMsg,
                    m_master->failure() == PgConnection::Failure::Server
                        ? QStringLiteral("The master %1 takes no rows for now: %2; retrying, the rows wait locally")
                              .arg(m_master->description(), m_master->errorString())
                        : QStringLiteral("Cannot reach the master %1: %2; retrying, the rows wait locally")
                              .arg(m_master->description(), m_master->errorString()));
    }
    // Growing, with jitter so that many forwarders do not return to a restarted master at the same instant.
    m_retryDelayMs = qBound(firstRetryDelayMs, m_retryDelayMs * 2, m_settings.maxRetryDelayMs);
    const int delay = m_retryDelayMs / 2 + static_cast<int>(QRandomGenerator::global()->bounded(m_retryDelayMs / 2 + 1));
    schedule(delay);
}

void Forwarder::reportRefused(const QVector<TableBatch>& batches)
{
    for (const TableBatch& batch : batches) {
        m_counters.rowsSetAside += quint64(batch.refused.size());
        for (const RefusedRow& refused : batch.refused)
            writeAlways(QtWarningMsg, QStringLiteral("Row %1 of table %2 set aside (sentToMasterDB = 2): %3")
                                          .arg(refused.rowId)
                                          .arg(QLatin1String(eventKinds()[std::size_t(batch.table)].table),
                                               refused.reason));
    }
}

void Forwarder::countAltered(const QVector<TableBatch>& batches)
{
    const LocalRow* first = nullptr;
    int firstTable = 0;
    qint64 altered = 0;
    for (const TableBatch& batch : batches) {
        for (const LocalRow& row : batch.rows) {
            if (row.alteration.isEmpty())
                continue;
            if (!first) {
                first = &row;
                firstTable = batch.table;
            }
            ++altered;
        }
    }
    m_counters.rowsAltered += quint64(altered);
    // One line for a run of batches with altered rows, however many rows it alters; the health line counts them.
    if (first && !m_altering)
        writeAlways(QtWarningMsg, QStringLiteral("Row %1 of table %2 sent altered for the master, U+FFFD in place "
                                                 "of what its text cannot hold: %3; rows altered after it are "
                                                 "counted only")
                                      .arg(first->rowId)
                                      .arg(QLatin1String(eventKinds()[std::size_t(firstTable)].table),
                                           first->alteration));
    m_altering = first != nullptr;
}

void Forwarder::collectMarking()
{
    const QString error = m_marking.get();
    if (error.isEmpty()) {
        m_markFailing = false;
        m_marked.clear();
        return;
    }
    if (!m_markFailing)
        writeAlways(QtWarningMsg,
                    QStringLiteral("Cannot mark forwarded rows in the local database: %1; retrying").arg(error));
    m_markFailing = true;
    m_markRetry.setRemainingTime(markRetryDelayMs);
    for (TableBatch& batch : m_unmarked)
        m_marked.append(std::move(batch));
    m_unmarked = std::move(m_marked);
    m_marked.clear();
}

void Forwarder::startMarking()
{
    if (m_marking.valid() || m_unmarked.isEmpty() || (m_markFailing && !m_markRetry.hasExpired()))
        return;
    // While the rows of one batch are marked, the next is read and written to the master; one marking at a time.
    m_marked = std::move(m_unmarked);
    m_unmarked.clear();
    const LocalStore* local = &m_local;
    m_marking = std::async(std::launch::async, [local, batches = m_marked] { return local->markSent(batches); });
}

void Forwarder::step()
{
    if (m_marking.valid() && m_marking.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
        collectMarking();
    startMarking();
    // No more than one batch waits for its marking beside the one being marked; the loop is never blocked.
    if (!m_unmarked.isEmpty()) {
        schedule(markPollMs);
        return;
    }

    if (!m_master->isConnected()) {
        // The master is compared with the marks, which the marking running completes.
        if (m_marking.valid()) {
            schedule(markPollMs);
            return;
        }
        if (!m_master->connectToMaster()) {
            masterLost();
            return;
        }
        if (m_away) {
            m_away = false;
            writeAlways(QtInfoMsg, QStringLiteral("Reached the master %1 again: %2 rows waiting")
                                       .arg(m_master->description())
                                       .arg(m_local.waiting().count));
        } else {
            qDebug() << QStringLiteral("Forwarding to the master %1").arg(m_master->description());
        }
        connected();
        compareWithMaster();
    }
    if (m_settings.retentionDays > 0
        && (!m_nextRetention.isValid() || m_nextRetention <= QDateTime::currentDateTimeUtc()))
        applyRetention();

    // What the master lacks goes before any new row: the master's highest rowID then still tells what it lacks.
    const bool refilling = m_local.refilling();
    QVector<TableBatch> batches =
        refilling ? m_local.readRefill(m_settings.batchSize) : m_local.readBatch(m_settings.batchSize, m_nextTable);
    if (!refilling)
        m_nextTable = (m_nextTable + 1) % int(eventKindCount);
    const qint64 count = rowCount(batches);
    if (count == 0) {
        if (!m_local.errorString().isEmpty()) {
            qWarning() << QStringLiteral("Cannot read the local database: %1").arg(m_local.errorString());
        } else if (refilling) {
            refillDone();
            schedule(0);
            return;
        } else if (!m_master->stillConnected()) {
            // Closed while idle, at a crash or a failover: made again, and compared, before rows wait for it.
            qDebug() << QStringLiteral("The master %1 closed the connection: %2")
                            .arg(m_master->description(), m_master->errorString());
        }
        schedule(m_marking.valid() ? qMin(markPollMs, m_settings.maxDelayMs) : m_settings.maxDelayMs);
        return;
    }

    if (m_master->write(&batches) != MasterClient::Result::Written) {
        m_local.rewind();
        masterLost();
        return;
    }
    m_retryDelayMs = 0;
    m_lastSuccess = QDateTime::currentDateTime();
    m_local.committed(batches);
    reportRefused(batches);
    if (refilling) {
        for (const TableBatch& batch : qAsConst(batches)) {
            m_counters.rowsResent += quint64(batch.rows.size());
            m_refilled[batch.table] += batch.rows.size();
        }
        qDebug() << QStringLiteral("Sent again %1 rows").arg(count);
    } else {
        countAltered(batches);
        for (const TableBatch& batch : qAsConst(batches))
            m_counters.rowsSent += quint64(batch.rows.size());
        qDebug() << QStringLiteral("Forwarded %1 rows").arg(count);
    }
    for (TableBatch& batch : batches)
        m_unmarked.append(std::move(batch));
    startMarking();
    if (refilling && !m_local.refilling())
        refillDone();
    // A full batch means more are waiting: the next one goes at once, after any waiting signal.
    schedule(count >= m_settings.batchSize || refilling ? 0 : m_settings.maxDelayMs);
}

void Forwarder::compareWithMaster()
{
    const QVector<int> lacking = m_local.planRefill(m_master->highest(), retentionCutoffMs());
    if (lacking.isEmpty()) {
        refillDone();
        return;
    }
    if (m_refillReason.isEmpty())
        m_refillReason = lossReason(m_local.lastMaster(), m_master->identity());
    QStringList tables;
    for (const int table : lacking)
        tables << QLatin1String(eventKinds()[std::size_t(table)].table);
    qDebug() << QStringLiteral("The master %1 holds fewer rows of tables %2 than were committed: %3; the rows marked "
                               "sent that it lacks go again")
                    .arg(m_master->description(), tables.join(QLatin1String(", ")), m_refillReason);
}

void Forwarder::refillDone()
{
    QStringList tables;
    qint64 total = 0;
    for (int t = 0; t < m_refilled.size(); ++t) {
        if (m_refilled.at(t) == 0)
            continue;
        tables << QStringLiteral("%1 %2").arg(QLatin1String(eventKinds()[std::size_t(t)].table)).arg(m_refilled.at(t));
        total += m_refilled.at(t);
    }
    if (total > 0)
        writeAlways(QtWarningMsg, QStringLiteral("Sent again %1 rows that the master %2 lacked (%3): %4")
                                      .arg(total)
                                      .arg(m_master->description(), tables.join(QLatin1String(", ")), m_refillReason));
    m_refilled.fill(0);
    m_refillReason.clear();
    if (!m_local.recordLastMaster(m_master->identity()))
        qWarning() << QStringLiteral("Cannot record the master last written to in the local database: %1")
                          .arg(m_local.errorString());
}

qint64 Forwarder::retentionCutoffMs() const
{
    int days = m_settings.retentionDays;
    const int masterDays = m_master->retentionDays();
    if (masterDays > 0 && (days == 0 || masterDays < days))
        days = masterDays;
    return days > 0 ? QDateTime::currentMSecsSinceEpoch() - days * dayMs : std::numeric_limits<qint64>::min();
}

void Forwarder::connected()
{
    if (!m_warnedTransport) {
        m_warnedTransport = true;
        const QString warning = m_master->transportWarning();
        if (!warning.isEmpty())
            writeAlways(QtWarningMsg, warning);
    }
    if (!m_master->isPartitioned() && !m_warnedUnpartitioned) {
        m_warnedUnpartitioned = true;
        writeAlways(QtWarningMsg, QStringLiteral("The master %1 has tables without partitions, made by an earlier "
                                                 "version; forwarding into them. Convert it with "
                                                 "tevriklogforward --convert-master")
                                      .arg(m_master->description()));
    }
}

void Forwarder::applyRetention()
{
    m_nextRetention = QDateTime::currentDateTimeUtc().addSecs(retentionIntervalS);
    QStringList reports;
    if (!m_master->applyRetention(m_settings.retentionDays, &reports))
        writeAlways(QtWarningMsg, QStringLiteral("Cannot apply the retention of %1 days on the master %2: %3; "
                                                 "trying again in an hour")
                                      .arg(m_settings.retentionDays)
                                      .arg(m_master->description(), m_master->errorString()));
    for (const QString& line : qAsConst(reports))
        writeAlways(QtInfoMsg, line);
}

void Forwarder::reportHealth()
{
    const WaitingRows waiting = m_local.waiting();
    const QString age = waiting.count > 0
                            ? QStringLiteral("%1 s").arg((QDateTime::currentMSecsSinceEpoch() - waiting.oldestTime) / 1000)
                            : QStringLiteral("none");
    writeAlways(QtInfoMsg, QStringLiteral("Forwarded %1 rows, %2 sent again, %3 rows altered for the master; %4 rows "
                                          "waiting, oldest waiting %5; %6 retries; last success %7")
                               .arg(m_counters.rowsSent)
                               .arg(m_counters.rowsResent)
                               .arg(m_counters.rowsAltered)
                               .arg(waiting.count)
                               .arg(age)
                               .arg(m_retries)
                               .arg(m_lastSuccess.isValid() ? m_lastSuccess.toString(Qt::ISODateWithMs)
                                                            : QStringLiteral("never")));
}

ForwarderStatus Forwarder::status()
{
    ForwarderStatus status;
    status.counters = m_counters;
    status.waiting = m_local.waiting();
    status.masterConnected = !m_away && m_master && m_master->isConnected();
    status.lastCommitMs = m_lastSuccess.isValid() ? m_lastSuccess.toMSecsSinceEpoch() : 0;
    return status;
}

void Forwarder::stop()
{
    m_timer.stop();
    // The marking waits for the daemon's write lock only a moment longer: a stop takes well under a second.
    m_local.requestStop();
    QString error;
    if (m_marking.valid() && !(error = m_marking.get()).isEmpty()) {
        for (TableBatch& batch : m_unmarked)
            m_marked.append(std::move(batch));
        m_unmarked = std::move(m_marked);
    }
    m_marked.clear();
    if (!m_unmarked.isEmpty())
        error = m_local.markSent(m_unmarked);
    if (!error.isEmpty())
        writeAlways(QtWarningMsg, QStringLiteral("Cannot mark forwarded rows in the local database: %1; they go "
                                                 "again at the next start and the master ignores them")
                                      .arg(error));
    QCoreApplication::quit();
}
