#include "commandlinereport.h"
#include "configsections.h"
#include "configsettings.h"
#include "daemonoptions.h"
#include "databasewrapper.h"
#include "metricsfile.h"
#include "netvalidation.h"
#include "daemoncounters.h"
#include "programmessagehandler.h"
#include "retention.h"
#include "servicenotifier.h"
#include "signalwatcher.h"
#include "statusreport.h"
#include "tevrikdefaults.h"
#include "udplistener.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

// Long enough to store a full receive buffer of waiting datagrams, short beside a service manager's stop timeout.
const qint64 drainTimeoutMs = 5000;

// A file named on the command line must be readable; the default file may be missing.
bool configFileUsable(const QString& path, bool named)
{
    return !named || configFileReadable(path);
}

// Applies what changed in the configuration file. A new address or port that cannot be bound gives way to the
// running ones again, so the daemon goes on listening; a socket left unbound is bound again at each reload.
void reloadConfiguration(const QString& configPath, ConfigSettings& settings, const UDPListener& listener,
                         ServiceNotifier& serviceNotifier)
{
    serviceNotifier.reloading();
    const QHostAddress address = settings.getAddress();
    const quint16 port = settings.getPort();
    ConfigSettings::Reload reload = settings.reload(configPath);
    for (const QString& line : reload.warnings)
        writeAlways(QtWarningMsg, line);
    if (listener.state() != QAbstractSocket::BoundState) {
        if (settings.getAddress() != address || settings.getPort() != port) {
            writeAlways(QtWarningMsg, QStringLiteral("Cannot listen on %1 port %2: %3; listening on %4 port %5 again")
                                          .arg(settings.getAddress().toString())
                                          .arg(settings.getPort())
                                          .arg(listener.errorString(), address.toString())
                                          .arg(port));
            reload.changed.removeAll(QStringLiteral("address"));
            reload.changed.removeAll(QStringLiteral("port"));
        }
        // Each setter binds the socket again.
        settings.setAddress(address);
        settings.setPort(port);
        if (listener.state() != QAbstractSocket::BoundState)
            writeAlways(QtCriticalMsg, QStringLiteral("Cannot listen on %1 port %2: %3; no event is received until a "
                                                      "reload binds the socket")
                                           .arg(address.toString())
                                           .arg(port)
                                           .arg(listener.errorString()));
    }
    if (reload.loaded)
        writeAlways(QtInfoMsg, QStringLiteral("Reloaded the configuration file \"%1\": %2")
                                   .arg(configPath, reload.changed.isEmpty()
                                                        ? QStringLiteral("nothing changed")
                                                        : reload.changed.join(QStringLiteral(", "))
                                                              + QStringLiteral(" changed")));
    serviceNotifier.ready();
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(programMessageHandler);

    DaemonOptions options(argc, argv);
    if (const int status = parseCommandLine([&options] { options.parse(); }, stderr))
        return status;

    if (options.debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(options.debugMsgs.count());

    const QString configPath = options.configFile.isPresent() ? options.configFile.value().toString()
                                                              : QString::fromLatin1(tevrikDefaultConfigFile);
    if (!configFileUsable(configPath, options.configFile.isPresent())) {
        writeError(unreadableConfigFileError(configPath));
        return 1;
    }

    ConfigSettings* settings = ConfigSettings::loadConfig(configPath);
    for (const QString& line : settings->fileWarnings())
        writeAlways(QtWarningMsg, line);
    if (options.address.isPresent())
        settings->setAddress(options.address.value().toString());
    if (options.port.isPresent()) {
        quint16 portNumber = 0;
        parsePortNumber(options.port.value().toString(), &portNumber);
        settings->setPort(portNumber);
    }
    settings->keepOnReload(options.address.isPresent(), options.port.isPresent());
    const QStringList invalid = settings->invalidSettings();
    if (!invalid.isEmpty()) {
        for (const QString& line : invalid)
            writeError(line);
        return 1;
    }

    QCoreApplication app(argc, argv);
    // Caught from here on, so a stop request during start-up waits for the event loop instead of losing events,
    // and a reload request does not stop the daemon.
    SignalWatcher stopSignals({SIGTERM, SIGINT}, nullptr);
    SignalWatcher reloadSignal({SIGHUP}, nullptr);
    if (!stopSignals.isWatching() || !reloadSignal.isWatching())
        qWarning() << QStringLiteral("Cannot catch SIGTERM, SIGINT and SIGHUP: stopping will drop the waiting events, "
                                     "and SIGHUP stops the daemon instead of reloading its configuration.");

    UDPListener listener(*settings, nullptr);
    if (listener.state() != QAbstractSocket::BoundState) {
        writeError(QStringLiteral("Cannot listen on %1 port %2: %3")
                       .arg(settings->getAddress().toString())
                       .arg(settings->getPort())
                       .arg(listener.errorString()));
        return 1;
    }

    DataBaseWrapper store(*settings, nullptr);
    if (!store.isReady()) {
        writeError(QStringLiteral("Cannot use database \"%1\": %2").arg(settings->getDBPath(), store.errorString()));
        return 1;
    }

    // Operator reports: held-row bound, retention, counters on SIGUSR1, and the service manager's view. A reload
    // that changes the limits or the metrics directory builds the pruner or the metrics writer anew: between two
    // of their runs they hold nothing that would be lost.
    std::unique_ptr<Retention> retention;
    const auto startRetention = [&store, &retention, settings] {
        store.setMaxHeldBytes(qint64(settings->getMaxHeldMiB()) * 1024 * 1024);
        retention = std::make_unique<Retention>(*settings, store.connection(), nullptr);
        if (retention->isEnabled())
            QObject::connect(&store, &DataBaseWrapper::committed, retention.get(), &Retention::prune);
    };
    startRetention();
    // New limits apply at once, not only after the next event's commit.
    QObject::connect(settings, &ConfigSettings::limitsChanged, &app, [&startRetention, &retention] {
        startRetention();
        retention->prune();
    });
    std::unique_ptr<MetricsWriter> metrics;
    const auto startMetrics = [&metrics](const QString& directory) {
        metrics.reset();
        if (directory.isEmpty())
            return;
        metrics = std::make_unique<MetricsWriter>(directory, QStringLiteral("tevriksystemlog.prom"),
                                                  [] { return counterMetrics(daemonCounters()); });
        metrics->start();
    };
    QObject::connect(settings, &ConfigSettings::metricsDirChanged, &app, startMetrics);
    SignalWatcher reportSignal({SIGUSR1}, nullptr);
    // The metrics file is written at the same moment, so it and the line show the same values.
    QObject::connect(&reportSignal, &SignalWatcher::caught, &app, [&metrics] {
        writeCounters(daemonCounters());
        if (metrics)
            metrics->write();
    });
    ServiceNotifier serviceNotifier(nullptr);
    QObject::connect(&stopSignals, &SignalWatcher::caught, &serviceNotifier, &ServiceNotifier::stopping);

    // Once per datagram: a member-function connection calls the slot without looking it up by name.
    QObject::connect(&listener, &UDPListener::newLogEvent, &store, &DataBaseWrapper::newLogEvent);
    // A stop request stores every datagram already waiting in the socket before the loop ends.
    int rowsNotStored = 0;
    QObject::connect(&stopSignals, &SignalWatcher::caught, &app, [&listener, &store, &rowsNotStored](int signalNumber) {
        // Senders that never pause must not hold the stop off until the service manager kills the daemon.
        const QDeadlineTimer deadline(drainTimeoutMs);
        listener.stopReceiving();
        while (listener.hasPendingDatagrams() && !deadline.hasExpired())
            listener.readPendingDatagrams();
        store.commit();
        store.flushHeld();
        // Lost with the process: counted now, so that the last reports show them lost and none held.
        rowsNotStored = store.abandonHeld();
        listener.reportDropsNow();
        if (listener.hasPendingDatagrams())
            qWarning() << QStringLiteral("Stopping on signal %1: senders kept sending for %2 s; the datagrams still "
                                         "arriving were not stored.")
                              .arg(signalNumber)
                              .arg(drainTimeoutMs / 1000);
        else
            qDebug() << QStringLiteral("Stopping on signal %1: stored the waiting events.").arg(signalNumber);
        QCoreApplication::quit();
    });

    // The file's place as QSettings names it in its warnings.
    const QString reloadPath = QFileInfo(configPath).absoluteFilePath();
    QObject::connect(&reloadSignal, &SignalWatcher::caught, &app, [&reloadPath, settings, &listener, &serviceNotifier] {
        reloadConfiguration(reloadPath, *settings, listener, serviceNotifier);
    });

    serviceNotifier.ready();
    startMetrics(settings->getMetricsDir());
    const int result = app.exec();
    writeStopReport(daemonCounters(), static_cast<quint64>(rowsNotStored));
    if (metrics)
        metrics->write();
    return result;
}
