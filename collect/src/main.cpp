#include "collector.h"
#include "collectoptions.h"
#include "collectsettings.h"
#include "collectstate.h"
#include "commandlinereport.h"
#include "configsections.h"
#include "eventsender.h"
#include "journal.h"
#include "machinefacts.h"
#include "programmessagehandler.h"
#include "restartreload.h"
#include "signalwatcher.h"
#include "tevrikdefaults.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <csignal>
#include <cstdio>

namespace {

// Collects until a stop, or until a reload that needs a new start.
int run(int& argc, char** argv, const CollectSettings& settings, const QString& root, const QString& journalDir,
        bool once, RestartReload& reload)
{
    QCoreApplication app(argc, argv);
    CollectState state(settings.stateFile);
    if (!state.open()) {
        writeError(state.errorString());
        return 1;
    }
    Journal journal;
    if (!journal.open(journalDir)) {
        writeError(journal.errorString());
        return 1;
    }
    EventSender sender(settings.address, settings.port);
    if (!sender.open()) {
        writeError(sender.errorString());
        return 1;
    }
    MachineFacts facts(root);
    Collector collector(settings, journal, state, facts, sender);

    if (once)
        return collector.collectOnce() ? 0 : 1;

    SignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP}, nullptr);
    if (!signalWatcher.isWatching())
        qWarning() << QStringLiteral("Cannot catch SIGTERM, SIGINT and SIGHUP: a stop ends the collector at once, "
                                     "which may send its last event again at the next start");
    QObject::connect(&signalWatcher, &SignalWatcher::caught, &app, [&app, &reload](int signalNumber) {
        if (signalNumber == SIGHUP) {
            const auto load = [](const QString& path) { return CollectSettings().load(path, nullptr); };
            if (reload.check(load) != RestartReload::Outcome::Restart)
                return;
        }
        qDebug() << QStringLiteral("Stopping on signal %1").arg(signalNumber);
        app.quit();
    });
    collector.start();
    return app.exec();
}

} // namespace

int main(int argc, char** argv)
{
    CollectOptions options(argc, argv);
    if (const int status = startProgram([&options] { options.parse(); }, options.debugMsgs, stderr))
        return status;

    const QString configPath = options.configFile.isPresent() ? options.configFile.value().toString()
                                                              : QString::fromLatin1(tevrikDefaultConfigFile);
    if (!configFileReadable(configPath)) {
        writeError(unreadableConfigFileError(configPath));
        return 1;
    }
    RestartReload reload(configPath);
    CollectSettings settings;
    QStringList unknownKeys;
    const QStringList problems = settings.load(configPath, &unknownKeys);
    for (const QString& key : qAsConst(unknownKeys))
        writeAlways(QtWarningMsg, QStringLiteral("Unknown key \"%1\" in [Collect] of \"%2\" is ignored")
                                      .arg(key, configPath));
    if (!problems.isEmpty()) {
        for (const QString& line : problems)
            writeError(line);
        return 1;
    }

    const QString root = options.root.isPresent() ? options.root.value().toString() : QStringLiteral("/");
    if (!QFileInfo(root).isDir()) {
        writeError(QStringLiteral("The root \"%1\" is not a directory").arg(root));
        return 1;
    }
    const QString journalDir = options.journalDirectory.isPresent() ? options.journalDirectory.value().toString()
                                                                    : QString();
    if (options.journalDirectory.isPresent() && !QFileInfo(journalDir).isDir()) {
        writeError(QStringLiteral("The journal directory \"%1\" is not a directory").arg(journalDir));
        return 1;
    }

    const int result = run(argc, argv, settings, root, journalDir, options.once.isPresent(), reload);
    return reload.finish(result, argv);
}
