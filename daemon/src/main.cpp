#include "commandlinereport.h"
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
    if (!named)
        return true;
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
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
        writeError(QStringLiteral("Cannot read configuration file \"%1\"").arg(configPath));
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
    const QStringList invalid = settings->invalidSettings();
    if (!invalid.isEmpty()) {
        for (const QString& line : invalid)
            writeError(line);
        return 1;
    }

    QCoreApplication app(argc, argv);
    // Caught from here on, so a stop request during start-up waits for the event loop instead of losing events.
    // SIGHUP too: it ends a daemon whose terminal closes, and would otherwise lose the open transaction.
    SignalWatcher stopSignals({SIGTERM, SIGINT, SIGHUP}, nullptr);
    if (!stopSignals.isWatching())
        qWarning() << QStringLiteral("Cannot catch SIGTERM, SIGINT and SIGHUP: stopping will drop the waiting events.");

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

    // Operator reports: held-row bound, retention, counters on SIGUSR1, and the service manager's view.
    store.setMaxHeldBytes(qint64(settings->getMaxHeldMiB()) * 1024 * 1024);
    Retention retention(*settings, nullptr);
    if (retention.isEnabled())
        QObject::connect(&store, &DataBaseWrapper::committed, &retention, &Retention::prune);
    std::unique_ptr<MetricsWriter> metrics;
    if (!settings->getMetricsDir().isEmpty())
        metrics = std::make_unique<MetricsWriter>(settings->getMetricsDir(), QStringLiteral("tevriksystemlog.prom"),
                                                  [] { return counterMetrics(daemonCounters()); });
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
        rowsNotStored = store.flushHeld();
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

    serviceNotifier.ready();
    if (metrics)
        metrics->start();
    const int result = app.exec();
    // The rows that the store still holds after its last retry are lost with the process.
    writeStopReport(daemonCounters(), static_cast<quint64>(rowsNotStored));
    if (metrics)
        metrics->write();
    return result;
}
