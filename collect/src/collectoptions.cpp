#include "collectoptions.h"

#include "tevrikdefaults.h"

CollectOptions::CollectOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , configFile(QLatin1Char('c'), QStringList{QStringLiteral("configfile")},
                 QStringLiteral("Override the default configuration file."), false, true, nullptr, nullptr)
    , journalDirectory(QLatin1Char('J'), QStringList{QStringLiteral("journal-directory")},
                       QStringLiteral("Read the journal files in a directory instead of the system journal."), false,
                       true, nullptr, nullptr)
    , root(QChar(), QStringList{QStringLiteral("root")},
           QStringLiteral("Read /proc, /sys, the mounts and the package database below a directory."), false, true,
           nullptr, nullptr)
    , once(QChar(), QStringList{QStringLiteral("once")}, QStringLiteral("Collect what is there now, then exit."),
           false, false, nullptr, nullptr)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    configFile.setLongDescription(QStringLiteral("Force tevriklogcollect to use the specified configuration file "
                                                 "instead of the default at %1. The collector takes the daemon's "
                                                 "address and port from it, and its own keys from [Collect].")
                                      .arg(QString::fromLatin1(tevrikDefaultConfigFile)));
    journalDirectory.setLongDescription(QStringLiteral(
        "Read the journal files in the given directory, as journalctl -D does, instead of the system journal."));
    root.setFlags({});
    root.setLongDescription(QStringLiteral(
        "Read /proc, /sys, the mounts of [Collect] and the package database below the given directory instead of "
        "below /: for tests, containers and images."));
    once.setFlags({});
    once.setLongDescription(QStringLiteral(
        "Collect what is there now: the journal up to its end, one load and one configuration, then exit: 0 when "
        "the daemon took every event, 1 when it refused them (they are sent by the next run)."));
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriklogcollect -d -d -d"));

    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriklogcollect service captures the machine's own events (core dumps, boots, watchdog resets, "
        "load and configuration) from the journal, /proc and /sys and sends them to the tevrik system log "
        "daemon.\n\nFor more help with a specific option, use --help <option>"));
    help.printer()->setExecutableName(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
}

void CollectOptions::parse()
{
    cmdLine.addArg(configFile);
    cmdLine.addArg(journalDirectory);
    cmdLine.addArg(root);
    cmdLine.addArg(once);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
