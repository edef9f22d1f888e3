#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include <QObject>
#include <QTimer>

// Tells systemd the daemon's state when it runs as a Type=notify service: readiness, a status line with the
// counters every few seconds, the watchdog's keep-alive from the event loop, a reload, and the stop. Outside systemd
// (no NOTIFY_SOCKET) it sends nothing and starts no timer.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // READY=1 with a status line, at the start and at the end of each reload; from then on the periodic status
    // and the keep-alive.
    void ready();
    // RELOADING=1, with the time that systemd matches the reload by; ready() tells when it is done.
    void reloading();
    // STOPPING=1; no status or keep-alive follows.
    void stopping();

private:
    void sendStatus();
    void feedWatchdog();

    const bool m_active;
    QTimer m_statusTimer;
    QTimer m_watchdogTimer;
};

#endif
