#include "forwarder.h"

#include "forwardtables.h"
#include "programmessagehandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QRandomGenerator>

#include <chrono>

#include <utility>

namespace {

const int firstRetryDelayMs = 500;
const int markRetryDelayMs = 1000;
const int healthIntervalMs = 5 * 60 * 1000;
const int retentionIntervalS = 3600;

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
    m_master = std::make_unique<MasterClient>(m_settings.conninfo, m_local.sourceId(), m_settings.hostName,
                                              m_settings.partitionDays);
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

void Forwarder::masterLost(const QString& reason)
{
    ++m_retries;
    if (!m_away) {
        m_away = true;
        writeAlways(QtWarningMsg, QStringLiteral("Cannot reach the master %1: %2; retrying, the rows wait locally")
                                      .arg(m_master->description(), reason));
    }
    // Growing, with jitter so that many forwarders do not return to a restarted master at the same instant.
    m_retryDelayMs = qBound(firstRetryDelayMs, m_retryDelayMs * 2, m_settings.maxRetryDelayMs);
    const int delay = m_retryDelayMs / 2 + static_cast<int>(QRandomGenerator::global()->bounded(m_retryDelayMs / 2 + 1));
    schedule(delay);
}

void Forwarder::reportRefused(const QVector<TableBatch>& batches)
{
    for (const TableBatch& batch : batches) {
        for (const RefusedRow& refused : batch.refused)
            writeAlways(QtWarningMsg, QStringLiteral("Row %1 of table %2 set aside (sentToMasterDB = 2): %3")
                                          .arg(refused.rowId)
                                          .arg(forwardTables().at(batch.table).name, refused.reason));
    }
}

bool Forwarder::markForwarded()
{
    if (!collectMarking())
        return false;
    if (m_unmarked.isEmpty())
        return true;
    return markingDone(m_local.markSent(m_unmarked));
}

bool Forwarder::markingDone(const QString& error)
{
    if (!error.isEmpty()) {
        if (!m_markFailing)
            writeAlways(QtWarningMsg,
                        QStringLiteral("Cannot mark forwarded rows in the local database: %1; retrying").arg(error));
        m_markFailing = true;
        schedule(markRetryDelayMs);
        return false;
    }
    m_markFailing = false;
    m_unmarked.clear();
    return true;
}

bool Forwarder::collectMarking()
{
    if (!m_marking.valid())
        return true;
    return markingDone(m_marking.get());
}

void Forwarder::startMarking()
{
    // While the rows of one batch are marked, the next is read and written to the master; one marking at a time.
    const LocalStore* local = &m_local;
    m_marking = std::async(std::launch::async, [local, batches = m_unmarked] { return local->markSent(batches); });
}

void Forwarder::step()
{
    if (m_marking.valid()) {
        if (m_marking.wait_for(std::chrono::seconds(0)) == std::future_status::ready && !collectMarking())
            return;
    } else if (!markForwarded()) {
        return;
    }

    if (!m_master->isConnected()) {
        if (!m_master->connectToMaster()) {
            masterLost(m_master->errorString());
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
    }
    if (m_settings.retentionDays > 0
        && (!m_nextRetention.isValid() || m_nextRetention <= QDateTime::currentDateTimeUtc()))
        applyRetention();

    QVector<TableBatch> batches = m_local.readBatch(m_settings.batchSize, m_nextTable);
    m_nextTable = (m_nextTable + 1) % forwardTables().size();
    const qint64 count = rowCount(batches);
    if (count == 0) {
        if (!collectMarking())
            return;
        if (!m_local.errorString().isEmpty())
            qWarning() << QStringLiteral("Cannot read the local database: %1").arg(m_local.errorString());
        schedule(m_settings.maxDelayMs);
        return;
    }

    if (m_master->write(&batches) != MasterClient::Result::Written) {
        m_local.rewind();
        masterLost(m_master->errorString());
        return;
    }
    m_retryDelayMs = 0;
    m_lastSuccess = QDateTime::currentDateTime();
    m_local.committed(batches);
    reportRefused(batches);
    for (const TableBatch& batch : qAsConst(batches))
        m_forwarded += batch.rows.size();
    qDebug() << QStringLiteral("Forwarded %1 rows").arg(count);
    if (!collectMarking()) {
        for (TableBatch& batch : batches)
            m_unmarked.append(std::move(batch));
        return;
    }
    m_unmarked = std::move(batches);
    startMarking();
    // A full batch means more are waiting: the next one goes at once, after any waiting signal.
    schedule(count >= m_settings.batchSize ? 0 : m_settings.maxDelayMs);
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
    writeAlways(QtInfoMsg, QStringLiteral("Forwarded %1 rows; %2 rows waiting, oldest waiting %3; %4 retries; "
                                          "last success %5")
                               .arg(m_forwarded)
                               .arg(waiting.count)
                               .arg(age)
                               .arg(m_retries)
                               .arg(m_lastSuccess.isValid() ? m_lastSuccess.toString(Qt::ISODateWithMs)
                                                            : QStringLiteral("never")));
}

void Forwarder::stop()
{
    m_timer.stop();
    QString error;
    if (m_marking.valid() && (error = m_marking.get()).isEmpty())
        m_unmarked.clear();
    if (!m_unmarked.isEmpty())
        error = m_local.markSent(m_unmarked);
    if (!error.isEmpty())
        writeAlways(QtWarningMsg, QStringLiteral("Cannot mark forwarded rows in the local database: %1; they go "
                                                 "again at the next start and the master ignores them")
                                      .arg(error));
    QCoreApplication::quit();
}
