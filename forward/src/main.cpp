#include "commandlinereport.h"
#include "configsections.h"
#include "forwarder.h"
#include "forwardoptions.h"
#include "forwardsettings.h"
#include "metricsfile.h"
#include "masterclient.h"
#include "programmessagehandler.h"
#include "restartreload.h"
#include "signalwatcher.h"
#include "tevrikdefaults.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

int convertMaster(const ForwardSettings& settings)
{
    MasterClient master(settings.conninfo, QString(), settings.hostName, settings.partitionDays);
    QStringList reports;
    if (!master.convertMaster(&reports)) {
        writeError(QStringLiteral("Cannot convert the master %1: %2").arg(master.description(), master.errorString()));
        return 1;
    }
    for (const QString& line : qAsConst(reports))
        writeAlways(QtInfoMsg, line);
    writeAlways(QtInfoMsg, QStringLiteral("The master %1 is partitioned").arg(master.description()));
    return 0;
}

// Runs the forwarder until a stop, or until a reload that needs a new start.
int run(int& argc, char** argv, const ForwardSettings& settings, bool convert, RestartReload& reload)
{
    QCoreApplication app(argc, argv);
    if (convert)
        return convertMaster(settings);
    SignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP, SIGUSR1}, nullptr);
    if (!signalWatcher.isWatching())
        qWarning() << QStringLiteral("Cannot catch SIGTERM, SIGINT, SIGHUP and SIGUSR1: a stop may leave "
                                     "forwarded rows unmarked, to be sent again.");

    Forwarder forwarder(settings, nullptr);
    // A stop request ends a wait on the master at once; the health and reload requests wait for the event loop.
    forwarder.setStopCheck(
        [&signalWatcher] { return signalWatcher.isCaught(SIGTERM) || signalWatcher.isCaught(SIGINT); });
    if (!forwarder.open()) {
        writeError(QStringLiteral("Cannot use database \"%1\": %2").arg(settings.dbPath, forwarder.errorString()));
        return 1;
    }
    std::unique_ptr<MetricsWriter> metrics;
    if (!settings.metricsDir.isEmpty())
        metrics = std::make_unique<MetricsWriter>(settings.metricsDir, QStringLiteral("tevriklogforward.prom"),
                                                  [&forwarder] {
                                                      return forwarderMetrics(forwarder.status(),
                                                                              QDateTime::currentMSecsSinceEpoch());
                                                  });
    // Signals arrive between batches: a batch is either committed on the master and marked, or not sent.
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &forwarder,
                     [&forwarder, &metrics, &reload](int signalNumber) {
                         if (signalNumber == SIGUSR1) {
                             forwarder.reportHealth();
                             if (metrics)
                                 metrics->write();
                             return;
                         }
                         if (signalNumber == SIGHUP) {
                             const auto load = [](const QString& path) { return ForwardSettings().load(path); };
                             if (reload.check(load) != RestartReload::Outcome::Restart)
                                 return;
                         }
                         qDebug() << QStringLiteral("Stopping on signal %1").arg(signalNumber);
                         forwarder.stop();
                     });
    forwarder.start();
    if (metrics)
        metrics->start();
    const int result = app.exec();
    if (metrics)
        metrics->write();
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    ForwardOptions options(argc, argv);
    if (const int status = startProgram([&options] { options.parse(); }, options.debugMsgs, stderr))
        return status;

    const QString configPath = options.configFile.isPresent() ? options.configFile.value().toString()
                                                              : QString::fromLatin1(tevrikDefaultConfigFile);
    if (!configFileReadable(configPath)) {
        writeError(unreadableConfigFileError(configPath));
        return 1;
    }
    RestartReload reload(configPath);
    ForwardSettings settings;
    const QStringList problems = settings.load(configPath);
    if (!problems.isEmpty()) {
        for (const QString& line : problems)
            writeError(line);
        return 1;
    }

    const int result = run(argc, argv, settings, options.convertMaster.isPresent(), reload);
    return reload.finish(result, argv);
}
