#include "readeroptions.h"

#include "eventmodel.h"
#include "tevrikdefaults.h"
#include "timeparser.h"

ReaderOptions::ReaderOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , configFile(QLatin1Char('c'), QStringList{QStringLiteral("configfile")},
                 QStringLiteral("Read the database path from this configuration file."), false, true, nullptr, nullptr)
    , database(QLatin1Char('D'), QStringList{QStringLiteral("database")},
               QStringLiteral("Read this database file; overrides the configuration."), false, true, nullptr, nullptr)
    , master(QChar(), QStringList{QStringLiteral("master")},
             QStringLiteral("Read the events of all hosts from this master database."), false, true, nullptr, nullptr)
    , host(QLatin1Char('H'), QStringList{QStringLiteral("host")},
           QStringLiteral("Only events of this host of the master database."), false, true, nullptr, nullptr)
    , type(QLatin1Char('t'), QStringList{QStringLiteral("type")},
           QStringLiteral("Only events of this type. Types are: ") + QString::fromStdString(senderTypeList()),
           false, true, nullptr, nullptr)
    , since(QLatin1Char('S'), QStringList{QStringLiteral("since")},
            QStringLiteral("Only events at or after this time."), false, true, nullptr, nullptr)
    , until(QLatin1Char('U'), QStringList{QStringLiteral("until")},
            QStringLiteral("Only events at or before this time."), false, true, nullptr, nullptr)
    , lines(QLatin1Char('n'), QStringList{QStringLiteral("lines")}, QStringLiteral("Only the last N events."), false,
            true, nullptr, nullptr)
    , reverse(QLatin1Char('r'), QStringList{QStringLiteral("reverse")}, QStringLiteral("Print the newest events first."),
              false, false, nullptr, nullptr)
    , grep(QLatin1Char('g'), QStringList{QStringLiteral("grep")},
           QStringLiteral("Only events with a text column matching this regular expression."), false, true, nullptr,
           nullptr)
    , match(QLatin1Char('M'), QStringList{QStringLiteral("match")},
            QStringLiteral("Only events whose column equals a value, given as COLUMN=VALUE."), false, true, nullptr,
            nullptr)
    , follow(QLatin1Char('f'), QStringList{QStringLiteral("follow")},
             QStringLiteral("Keep printing new events as they are stored."), false, false, nullptr, nullptr)
    , output(QLatin1Char('o'), QStringList{QStringLiteral("output")},
             QStringLiteral("Output format: short, short-iso, json or csv."), false, true, nullptr, nullptr)
    , stats(QChar(), QStringList{QStringLiteral("stats")},
            QStringLiteral("Print per type the number of events, their time span and the unsent ones."), false, false,
            nullptr, nullptr)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    stats.setFlags({});
    master.setFlags({});
    configFile.setLongDescription(
        QStringLiteral("Read the path of the database from the key dbpath of this configuration file instead of the "
                       "default at %1. Without the default file the database is at %2.")
            .arg(QLatin1String(tevrikDefaultConfigFile), QLatin1String(tevrikDefaultDbPath)));
    database.setLongDescription(
        QStringLiteral("Read this database file; it overrides the path of every configuration file."));
    master.setLongDescription(QStringLiteral(
        "Read the events of all hosts from the master database that the forwarders fill, instead of a local "
        "database; every line names its host. CONNINFO is a libpq connection string: give no password in it, "
        "libpq takes one from passfile, PGPASSFILE or ~/.pgpass. Cannot be combined with --database or "
        "--configfile. With --stats, the figures are per type and host; rows not yet forwarded are known only "
        "on each host."));
    host.setLongDescription(QStringLiteral(
        "Only events of the host NAME, as the master database names it; give it several times for several hosts. "
        "Only with --master: a local database holds the events of its own host."));
    type.setLongDescription(QStringLiteral("Only events of this type; give it several times for several types. The "
                                           "types are the sender's: ")
                            + QString::fromStdString(senderTypeList()));
    since.setLongDescription(QStringLiteral("Only events whose time is at or after TIME. TIME is one of %1; dates "
                                            "and clock times are local time, @MS is milliseconds since the epoch.")
                                 .arg(QLatin1String(timeForms)));
    until.setLongDescription(QStringLiteral("Only events whose time is at or before TIME. TIME is one of %1; dates "
                                            "and clock times are local time, @MS is milliseconds since the epoch.")
                                 .arg(QLatin1String(timeForms)));
    lines.setLongDescription(QStringLiteral("Only the last N events of the selection, still oldest first unless "
                                            "--reverse is given. With --follow the default is 10."));
    reverse.setLongDescription(QStringLiteral("Print the newest events first."));
    grep.setLongDescription(QStringLiteral("Only events with a text column that matches this regular expression; "
                                           "it ignores case when the pattern has no capital letter."));
    match.setLongDescription(QStringLiteral(
        "Only events whose COLUMN equals VALUE exactly, given as COLUMN=VALUE. Give it several times: different "
        "columns must all match, values of the same column are alternatives. Only the types that have every "
        "named column are shown."));
    follow.setLongDescription(QStringLiteral("After the selection (by default its last 10 events) keep printing new "
                                             "events as the daemon stores them, until SIGINT or SIGTERM."));
    output.setLongDescription(QStringLiteral(
        "Output format: short (the default, local time), short-iso (ISO 8601 time with milliseconds and UTC "
        "offset), json (one object per line) or csv (a header line, then one row per event)."));
    stats.setLongDescription(QStringLiteral("Print per type the number of events, the events not yet sent to a "
                                            "master database and the age of the oldest of them, the first and the "
                                            "last time, then the size of the database on disk."));
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriklog -d -d -d"));

    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriklog utility prints the events of the tevrik system log as one timeline,\noldest first, and "
        "follows the new ones as the daemon stores them.\n\nFor more help with a specific option, use --help "
        "<option>"));
    help.printer()->setExecutableName(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
}

void ReaderOptions::parse()
{
    cmdLine.addArg(configFile);
    cmdLine.addArg(database);
    cmdLine.addArg(master);
    cmdLine.addArg(host);
    cmdLine.addArg(type);
    cmdLine.addArg(since);
    cmdLine.addArg(until);
    cmdLine.addArg(lines);
    cmdLine.addArg(reverse);
    cmdLine.addArg(grep);
    cmdLine.addArg(match);
    cmdLine.addArg(follow);
    cmdLine.addArg(output);
    cmdLine.addArg(stats);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
