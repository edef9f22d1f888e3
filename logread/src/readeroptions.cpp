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
    , utc(QChar(), QStringList{QStringLiteral("utc")}, QStringLiteral("Print and read times in UTC."), false, false,
          nullptr, nullptr)
    , noPager(QChar(), QStringList{QStringLiteral("no-pager")},
              QStringLiteral("Do not send the output through a pager on a terminal."), false, false, nullptr, nullptr)
    , stats(QChar(), QStringList{QStringLiteral("stats")},
            QStringLiteral("Print per type the number of events, their time span and the unsent ones."), false, false,
            nullptr, nullptr)
    , field(QLatin1Char('F'), QStringList{QStringLiteral("field")},
            QStringLiteral("Print the values of this column, most frequent first, with their counts."), false, true,
            nullptr, nullptr)
    , histogram(QChar(), QStringList{QStringLiteral("histogram")},
                QStringLiteral("Print the number of events per interval of this length, such as 1h."), false, true,
                nullptr, nullptr)
    , showCursor(QChar(), QStringList{QStringLiteral("show-cursor")},
                 QStringLiteral("End the output with the cursor of the events read."), false, false, nullptr, nullptr)
    , afterCursor(QChar(), QStringList{QStringLiteral("after-cursor")},
                  QStringLiteral("Only events stored after this cursor."), false, true, nullptr, nullptr)
    , cursorFile(QChar(), QStringList{QStringLiteral("cursor-file")},
                 QStringLiteral("Only events stored after the cursor in this file, then write the new cursor there."),
                 false, true, nullptr, nullptr)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    for (CliArg* longOnly : {&master, &utc, &noPager, &stats, &histogram, &showCursor, &afterCursor, &cursorFile})
        longOnly->setFlags({});
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
    const QString timeHelp = QStringLiteral(
        "TIME is one of %1. Dates and clock times without a zone are local time (UTC with --utc), an hour that "
        "the clocks repeat at its first instant; @SECONDS is seconds since the epoch, a bare number milliseconds, "
        "as json prints it. Every time that the reader prints is accepted back.")
                                 .arg(QLatin1String(timeForms));
    since.setLongDescription(QStringLiteral("Only events whose time is at or after TIME. ") + timeHelp);
    until.setLongDescription(QStringLiteral("Only events whose time is at or before TIME. ") + timeHelp);
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
                                            "last time, then the size of the database on disk. The selection "
                                            "options apply; with --output json one object per line."));
    utc.setLongDescription(QStringLiteral("Print every time in UTC, and read the times given without a zone as UTC."));
    noPager.setLongDescription(QStringLiteral(
        "Write to the terminal directly. Without it, output to a terminal goes through $TEVRIKLOG_PAGER, else "
        "$PAGER, else less (with LESS=FRSXMK when LESS is unset), except with --follow."));
    field.setLongDescription(QStringLiteral(
        "Print the distinct values of COLUMN among the selected events, most frequent first, each line the count "
        "and the value; with --master, hostname is a column too. The selection options apply; with --output json "
        "one object per line."));
    histogram.setLongDescription(QStringLiteral(
        "Print one line per INTERVAL (1min, 1h, 1d, with s, min, h, d or w) of the selected window, oldest first: "
        "its start, the number of events of each selected type and a bar scaled to the terminal's width. "
        "Intervals without events show 0. The selection options apply; with --output json one object per line."));
    showCursor.setLongDescription(QStringLiteral(
        "End the output with the line \"-- cursor: CURSOR\"; --after-cursor CURSOR then prints exactly the events "
        "stored after those read."));
    afterCursor.setLongDescription(QStringLiteral(
        "Only events stored after the read that printed CURSOR, of every type (and every host of the master)."));
    cursorFile.setLongDescription(QStringLiteral(
        "Only events stored after the cursor in FILE when it exists; after printing, write the new cursor to "
        "FILE. Run again, it prints each event once."));
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
    cmdLine.addArg(utc);
    cmdLine.addArg(noPager);
    cmdLine.addArg(stats);
    cmdLine.addArg(field);
    cmdLine.addArg(histogram);
    cmdLine.addArg(showCursor);
    cmdLine.addArg(afterCursor);
    cmdLine.addArg(cursorFile);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
