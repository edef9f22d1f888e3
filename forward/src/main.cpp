#include "commandlinereport.h"
#include "forwarder.h"
#include "forwardoptions.h"
#include "forwardsettings.h"
#include "masterclient.h"
#include "programmessagehandler.h"
#include "signalwatcher.h"
#include "tevrikdefaults.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

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

} // namespace

int main(int argc, char** argv)
{
    ForwardOptions options(argc, argv);
    if (const int status = startProgram([&options] { options.parse(); }, options.debugMsgs, stderr))
        return status;

    const QString configPath = options.configFile.isPresent() ? options.configFile.value().toString()
                                                              : QString::fromLatin1(tevrikDefaultConfigFile);
    const QFileInfo configInfo(configPath);
    if (!configInfo.isFile() || !configInfo.isReadable()) {
        writeError(QStringLiteral("Cannot read configuration file \"%1\"").arg(configPath));
        return 1;
    }
    ForwardSettings settings;
    const QStringList problems = settings.load(configPath);
    if (!problems.isEmpty()) {
        for (const QString& line : problems)
            writeError(line);
        return 1;
    }

    QCoreApplication app(argc, argv);
    if (options.convertMaster.isPresent())
        return convertMaster(settings);
    SignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP, SIGUSR1}, nullptr);
    if (!signalWatcher.isWatching())
        qWarning() << QStringLiteral("Cannot catch SIGTERM, SIGINT, SIGHUP and SIGUSR1: a stop may leave "
                                     "forwarded rows unmarked, to be sent again.");

    Forwarder forwarder(settings, nullptr);
    if (!forwarder.open()) {
        writeError(QStringLiteral("Cannot use database \"%1\": %2").arg(settings.dbPath, forwarder.errorString()));
        return 1;
    }
    // Signals arrive between batches: a batch is either committed on the master and marked, or not sent.
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &forwarder, [&forwarder](int signalNumber) {
        if (signalNumber == SIGUSR1) {
            forwarder.reportHealth();
            return;
        }
        qDebug() << QStringLiteral("Stopping on signal %1").arg(signalNumber);
        forwarder.stop();
    });
    forwarder.start();
    return app.exec();
}
