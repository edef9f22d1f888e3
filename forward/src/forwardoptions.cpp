#include "forwardoptions.h"

#include "tevrikdefaults.h"

ForwardOptions::ForwardOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , configFile(QLatin1Char('c'), QStringList{QStringLiteral("configfile")},
                 QStringLiteral("Override the default configuration file."), false, true, nullptr, nullptr)
    , convertMaster(QChar(), QStringList{QStringLiteral("convert-master")},
                    QStringLiteral("Convert a master database made by an earlier version, then exit."), false, false,
                    nullptr, nullptr)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    configFile.setLongDescription(QStringLiteral("Force tevriklogforward to use the specified configuration file "
                                                 "instead of the default at %1.")
                                      .arg(QString::fromLatin1(tevrikDefaultConfigFile)));
    convertMaster.setFlags({});
    convertMaster.setLongDescription(QStringLiteral(
        "Move the rows of every table of the master that an earlier version made without partitions into a "
        "table partitioned by time, and make the hourly summary of every table that has none from its rows, in "
        "one transaction: every row once, none lost. Forwarders may run meanwhile; they wait for it. Then exit: 0 "
        "when converted or nothing was to convert."));
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriklogforward -d -d -d"));

    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriklogforward service sends every event that the\ntevrik system log stores to a master PostgreSQL "
        "database.\n\nFor more help with a specific option, use --help <option>"));
    help.printer()->setExecutableName(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
}

void ForwardOptions::parse()
{
    cmdLine.addArg(configFile);
    cmdLine.addArg(convertMaster);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
