#include "servicenotifier.h"

#include "daemoncounters.h"
#include "statusreport.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <ctime>

namespace {

// Often enough for systemctl status to look current, rarely enough to cost nothing beside the intake.
constexpr int statusIntervalMs = 3000;

void notify(const QString& state)
{
    sd_notify(0, state.toUtf8().constData());
}

} // namespace

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
    , m_active(std::getenv("NOTIFY_SOCKET") != nullptr)
{
    m_statusTimer.setInterval(statusIntervalMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
    connect(&m_watchdogTimer, &QTimer::timeout, this, &ServiceNotifier::feedWatchdog);
}

void ServiceNotifier::ready()
{
    if (!m_active)
        return;
    notify(QStringLiteral("READY=1\nSTATUS=") + countersSummary(daemonCounters()));
    if (m_statusTimer.isActive())
        return;
    m_statusTimer.start();

    // systemd restarts the service when no keep-alive comes within the interval: send one every half of it.
    uint64_t intervalUs = 0;
    if (sd_watchdog_enabled(0, &intervalUs) > 0) {
        m_watchdogTimer.setInterval(int(qBound<uint64_t>(1, intervalUs / 2000, 3600 * 1000)));
        m_watchdogTimer.start();
        feedWatchdog();
    }
}

void ServiceNotifier::reloading()
{
    if (!m_active)
        return;
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const quint64 microseconds = quint64(now.tv_sec) * 1000000 + quint64(now.tv_nsec) / 1000;
    notify(QStringLiteral("RELOADING=1\nMONOTONIC_USEC=%1").arg(microseconds));
}

void ServiceNotifier::stopping()
{
    if (!m_active)
        return;
    m_statusTimer.stop();
    m_watchdogTimer.stop();
    notify(QStringLiteral("STOPPING=1\nSTATUS=Stopping: ") + countersSummary(daemonCounters()));
}

void ServiceNotifier::sendStatus()
{
    notify(QStringLiteral("STATUS=") + countersSummary(daemonCounters()));
}

void ServiceNotifier::feedWatchdog()
{
    sd_notify(0, "WATCHDOG=1");
}
