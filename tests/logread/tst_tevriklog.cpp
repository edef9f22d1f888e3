// The program end to end: its refusals, its hands off the file, and following a live daemon across a restart.
#include "comparelines.h"
#include "daemonfixture.h"
#include "processrunner.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>

namespace {

const QString readerPath = QStringLiteral(TEVRIKLOG_PATH);

const char timeForms[] = "YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS[.mmm]] (or with T, and with Z or +HH:MM for a zone), "
                         "now, today, yesterday, tomorrow, -N or +N with s, min, h, d or w (-30s, +2h), "
                         "@SECONDS[.FRACTION] or milliseconds since the epoch";

// The lines without their time, which the sender stamps.
QStringList withoutTimes(const QStringList& lines)
{
    QStringList rest;
    for (const QString& line : lines)
        rest << line.mid(24);
    return rest;
}

struct FileState
{
    QByteArray digest;
    qint64 modified = 0;
    qint64 size = 0;
};

FileState fileState(const QString& path)
{
    QFile file(path);
    FileState state;
    if (file.open(QIODevice::ReadOnly))
        state.digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    const QFileInfo info(path);
    state.modified = info.lastModified().toMSecsSinceEpoch();
    state.size = info.size();
    return state;
}

} // namespace

class tst_TevrikLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refuses_data();
    void refuses();
    void leavesTheFileUntouched();
    void reportsOutputErrors_data();
    void reportsOutputErrors();
    void letsCheckpointsGoOnWhileBlocked();
    void followsAcrossCommitsAndARestart();
    void pagesOnATerminal_data();
    void pagesOnATerminal();
    void cursorFilePrintsEachEventOnce();

private:
    // A copy of the daemon's database with 20,000 more rows, more than a pipe holds as text; empty on failure.
    QString manyRowsDb();

    DaemonFixture m_daemon;
};

void tst_TevrikLog::initTestCase()
{
    // For the readers started: a zone with summer time.
    qputenv("TZ", "Europe/Berlin");
    QVERIFY(m_daemon.start());
    QCOMPARE(m_daemon.send({"-t", "reboot", "-m", "admin"}), 0);
    QCOMPARE(m_daemon.send({"-t", "generic", "-m", "18446744073709551615", "-m", "k", "-m", "v"}), 0);
    // A sender's try to add a field of its own to the line.
    QCOMPARE(m_daemon.send({"-t", "specfile", "-m", "task1 specfile=evil.spec", "-m", "real.spec"}), 0);
    QCOMPARE(waitForRows(m_daemon.dbPath(),
                         "SELECT rowID FROM reboots UNION ALL SELECT rowID FROM generic UNION ALL SELECT rowID FROM specfile",
                         3)
                 .size(),
             3);
    QVERIFY(m_daemon.stop());

    const QDir dir(m_daemon.dir());
    QFile text(dir.filePath("text.db"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray(4096, 'x'));
    text.close();
    QCOMPARE(execStatements(dir.filePath("foreign.db"), {"CREATE TABLE reboots (rowID INTEGER PRIMARY KEY, time INTEGER)"}),
             QString());
    writeConfig(dir.filePath("comma.conf"), "127.0.0.1", "7777", "/tmp/a,b.db");
    QFile masterCursor(dir.filePath("master.cursor"));
    QVERIFY(masterCursor.open(QIODevice::WriteOnly));
    masterCursor.write("m1;;" + QCryptographicHash::hash("m1;", QCryptographicHash::Sha1).toHex().left(8) + '\n');
    masterCursor.close();
}

void tst_TevrikLog::refuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");

    const QString types = "coredump, reboot, watchdog, joinlayer, specfile, sysload, machineconfig, generic";
    const QString columns = "time, rowID, sentToMasterDB, hardwareconf, linuxver, rpmsinstalled, tevrikversion, "
                            "diskspace, taskname, issuer, triggeredBy, taskName, specfile, sysload, recordNumber, key, "
                            "value";
    QTest::newRow("unknown type") << QStringList{"-t", "reboot", "-t", "crash"} << 1
                                  << "Error: Unknown type \"crash\"; the types are: " + types + "\n";
    QTest::newRow("since is no time") << QStringList{"-S", "2026-13-01"} << 1
                                      << QString("Error: Invalid time \"2026-13-01\" for --since: expected %1\n")
                                             .arg(timeForms);
    QTest::newRow("until is no time") << QStringList{"--until=soon"} << 1
                                      << QString("Error: Invalid time \"soon\" for --until: expected %1\n")
                                             .arg(timeForms);
    QTest::newRow("negative lines") << QStringList{"-n", "-1"} << 1
                                    << "Error: Invalid number of lines \"-1\": expected a whole number from 0\n";
    QTest::newRow("lines no number") << QStringList{"--lines", "ten"} << 1
                                     << "Error: Invalid number of lines \"ten\": expected a whole number from 0\n";
    QTest::newRow("unknown format") << QStringList{"-o", "xml"} << 1
                                    << "Error: Unknown output format \"xml\"; the formats are: short, short-iso, json, "
                                       "csv\n";
    QTest::newRow("unknown column") << QStringList{"-M", "issuer=admin", "-M", "Issuer=admin"} << 1
                                    << "Error: Unknown column \"Issuer\"; the columns are: " + columns + "\n";
    QTest::newRow("match without value") << QStringList{"-M", "issuer"} << 1
                                         << "Error: Invalid match \"issuer\": expected COLUMN=VALUE\n";
    QTest::newRow("match without column") << QStringList{"-M", "=admin"} << 1
                                          << "Error: Invalid match \"=admin\": expected COLUMN=VALUE\n";
    QTest::newRow("integer column") << QStringList{"-M", "rowID=one"} << 1
                                    << "Error: Invalid value \"one\" for column rowID: expected an integer\n";
    QTest::newRow("unsigned column") << QStringList{"-M", "recordNumber=-1"} << 1
                                     << "Error: Invalid value \"-1\" for column recordNumber: expected an unsigned "
                                        "integer\n";
    QTest::newRow("invalid regular expression")
        << QStringList{"-g", "a["} << 1
        << "Error: Invalid regular expression \"a[\": missing terminating ] for character class at offset 2\n";
    QTest::newRow("follow in reverse") << QStringList{"-f", "-r"} << 1
                                       << "Error: --follow and --reverse cannot be combined\n";
    QTest::newRow("stats of the last lines") << QStringList{"--stats", "-n", "5"} << 1
                                             << "Error: --stats cannot be combined with --follow, --lines or "
                                                "--reverse\n";
    QTest::newRow("a local time that the clocks skip") << QStringList{"-U", "2026-03-29 02:30"} << 1
                                                       << "Error: Invalid time \"2026-03-29 02:30\" for --until: the "
                                                          "local clocks skip it, as they are put forward\n";
    QTest::newRow("since after until") << QStringList{"-S", "2026-01-02", "-U", "2026-01-01T22:59:59Z"} << 1
                                       << "Error: --since \"2026-01-02\" is later than --until "
                                          "\"2026-01-01T22:59:59Z\"\n";
    QTest::newRow("a column that no selected type has") << QStringList{"-t", "reboot", "-M", "taskname=sshd"} << 1
                                                        << "Error: No selected type has the column taskname; the "
                                                           "types with it are: coredump, specfile\n";
    QTest::newRow("columns that no type has together")
        << QStringList{"-M", "taskname=a", "-M", "issuer=b"} << 1
        << "Error: No selected type has all of the columns taskname, issuer\n";
    QTest::newRow("field of another type") << QStringList{"-t", "reboot", "-F", "specfile"} << 1
                                           << "Error: No selected type has the column specfile; the types with it "
                                              "are: specfile\n";
    QTest::newRow("field of no column") << QStringList{"--field", "Issuer"} << 1
                                        << "Error: Unknown column \"Issuer\" for --field; the columns are: " + columns
                                               + "\n";
    QTest::newRow("field hostname of a local database") << QStringList{"-F", "hostname"} << 1
                                                        << "Error: --field hostname needs --master: a local database "
                                                           "holds the events of its own host only\n";
    QTest::newRow("histogram without a unit") << QStringList{"--histogram", "60"} << 1
                                              << "Error: Invalid interval \"60\" for --histogram: expected a whole "
                                                 "number with s, min, h, d or w, such as 1h\n";
    QTest::newRow("two summaries") << QStringList{"--stats", "--histogram", "1h"} << 1
                                   << "Error: --stats and --histogram cannot be combined\n";
    QTest::newRow("a summary as csv") << QStringList{"-F", "issuer", "-o", "csv"} << 1
                                      << "Error: --field writes short, short-iso or json, not csv\n";
    QTest::newRow("a summary's cursor") << QStringList{"--histogram", "1h", "--show-cursor"} << 1
                                        << "Error: --histogram cannot be combined with --show-cursor\n";
    QTest::newRow("follow into a cursor file") << QStringList{"-f", "--cursor-file", "%DIR%/c"} << 1
                                               << "Error: --follow cannot be combined with --cursor-file\n";
    QTest::newRow("two cursors") << QStringList{"--after-cursor", "x", "--cursor-file", "%DIR%/c"} << 1
                                 << "Error: --after-cursor and --cursor-file cannot be combined\n";
    QTest::newRow("a cursor changed") << QStringList{"--after-cursor", "l1;0.4.1.0.0.3.0.1;a3983b7a"} << 1
                                      << "Error: Invalid cursor for --after-cursor: not a cursor of tevriklog, or one "
                                         "cut short or changed\n";
    QTest::newRow("a cursor of the master") << QStringList{"--cursor-file", "%DIR%/master.cursor"} << 1
                                            << "Error: Invalid cursor in \"%DIR%/master.cursor\": a cursor of the "
                                               "master database, not of a local database\n";
    QTest::newRow("missing database") << QStringList{"-D", "%DIR%/nosuch.db"} << 1
                                      << "Error: Cannot open database \"%DIR%/nosuch.db\": no such file\n";
    QTest::newRow("directory as database") << QStringList{"-D", "%DIR%"} << 1
                                           << "Error: Cannot open database \"%DIR%\": not a file\n";
    QTest::newRow("no database file") << QStringList{"-D", "%DIR%/text.db"} << 1
                                      << "Error: Cannot read database \"%DIR%/text.db\": file is not a database\n";
    QTest::newRow("another program's database")
        << QStringList{"-D", "%DIR%/foreign.db"} << 1
        << "Error: Database \"%DIR%/foreign.db\" is not a tevrik system log: missing tables schemaver, "
           "configuration, coredumps, watchdog, joinlayer, specfile, systemload, generic\n";
    QTest::newRow("master and a database") << QStringList{"--master", "dbname=x", "-D", "%DIR%/nosuch.db"} << 1
                                           << "Error: --master and --database cannot be combined\n";
    QTest::newRow("host of a local database") << QStringList{"-D", "%DIR%/nosuch.db", "-H", "alpha"} << 1
                                              << "Error: --host needs --master: a local database holds the events of "
                                                 "its own host only\n";
    QTest::newRow("master and a configuration")
        << QStringList{"-c", "%DIR%/comma.conf", "--master=dbname=x"} << 1
        << "Error: --master and --configfile cannot be combined\n";
    QTest::newRow("missing configuration file") << QStringList{"-c", "%DIR%/nosuch.conf"} << 1
                                                << "Error: Cannot read configuration file \"%DIR%/nosuch.conf\"\n";
    QTest::newRow("unquoted comma in the path")
        << QStringList{"-c", "%DIR%/comma.conf"} << 1
        << "Error: Invalid dbpath \"/tmp/a,b.db\" in \"%DIR%/comma.conf\": a path with a comma must be in double "
           "quotes\n";
    QTest::newRow("unknown option") << QStringList{"--nosuch"} << 255 << "Unknown argument: --nosuch\r\n";
    QTest::newRow("ambiguous abbreviation") << QStringList{"--s", "today"} << 255 << "Unknown argument: --s\r\n";
    QTest::newRow("stray word") << QStringList{"-f", "reboot"} << 255
                                << "Unexpected option: reboot. Argument \"-f\" doesn't expect any values.\r\n";
}

void tst_TevrikLog::refuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, error);
    arguments.replaceInStrings("%DIR%", m_daemon.dir());
    if (!arguments.contains("-D") && !arguments.contains("-c"))
        arguments = QStringList{"-D", m_daemon.dbPath()} + arguments;
    const RunResult result = runProgram(readerPath, arguments);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(QString::fromUtf8(result.err), error.replace("%DIR%", m_daemon.dir()));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.exitCode, status);
}

void tst_TevrikLog::leavesTheFileUntouched()
{
    const FileState before = fileState(m_daemon.dbPath());
    QVERIFY(before.size > 0);
    for (const QStringList& arguments : {QStringList{}, QStringList{"--stats"}, QStringList{"-n", "1", "-o", "csv"},
                                         QStringList{"-g", "adm", "-M", "issuer=admin", "-S", "@0"}}) {
        const RunResult result = runProgram(readerPath, QStringList{"-D", m_daemon.dbPath()} + arguments);
        QCOMPARE(result.exitCode, 0);
        QVERIFY(!result.out.isEmpty());
    }
    QProcess follower;
    follower.start(readerPath, {"-f", "-D", m_daemon.dbPath()});
    QByteArray out;
    QCOMPARE(waitForLines(follower, out, 3).size(), 3);
    signalProcess(follower, SIGINT);
    QVERIFY(follower.waitForFinished(20000));
    QCOMPARE(follower.exitStatus(), QProcess::NormalExit);
    QCOMPARE(follower.exitCode(), 0);

    const FileState after = fileState(m_daemon.dbPath());
    QCOMPARE(after.digest, before.digest);
    QCOMPARE(after.modified, before.modified);
    QCOMPARE(after.size, before.size);
}

void tst_TevrikLog::reportsOutputErrors_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QByteArray>("err");
    const QByteArray full = "Error: Cannot write the output: No space left on device\n";
    QTest::newRow("full disk, one line") << "\"$0\" -D \"$1\" -n 1 -o csv > /dev/full" << 1 << 0 << full;
    QTest::newRow("full disk, many lines") << "\"$0\" -D \"$1\" > /dev/full" << 1 << 0 << full;
    // More than the pipe holds, so that the reader writes after head has gone.
    QTest::newRow("pipe closed early") << "set -o pipefail; \"$0\" -D \"$1\" | head -1" << 0 << 1
                                       << QByteArray();
}

void tst_TevrikLog::reportsOutputErrors()
{
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(int, lines);
    QFETCH(QByteArray, err);
    const QString dbPath = manyRowsDb();
    QVERIFY(!dbPath.isEmpty());
    const RunResult result = runProgram("/bin/bash", {"-c", command, readerPath, dbPath});
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, status);
    QCOMPARE(result.out.count('\n'), lines);
}

QString tst_TevrikLog::manyRowsDb()
{
    const QString dbPath = QDir(m_daemon.dir()).filePath("many.db");
    if (QFile::exists(dbPath))
        return dbPath;
    const bool filled =
        QFile::copy(m_daemon.dbPath(), dbPath)
        && execStatements(dbPath, {"WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
                                   "INSERT INTO reboots (time, issuer) SELECT i, 'issuer' || i FROM n"})
               .isEmpty();
    return filled ? dbPath : QString();
}

void tst_TevrikLog::letsCheckpointsGoOnWhileBlocked()
{
    const QString dbPath = manyRowsDb();
    QVERIFY(!dbPath.isEmpty());
    const UnreadPipe pipe(m_daemon.dir());
    QVERIFY(pipe.isOpen());
    QProcess reader;
    reader.setStandardOutputFile(pipe.path());
    reader.start(readerPath, {"-D", dbPath});
    QVERIFY(waitFor([&] { return pipe.isFull(); }));
    {
        QSqlDatabase writer = QSqlDatabase::addDatabase("QSQLITE", "writer");
        writer.setDatabaseName(dbPath);
        writer.setConnectOptions("QSQLITE_BUSY_TIMEOUT=0");
        QVERIFY(writer.open());
        QSqlQuery query(writer);
        QVERIFY(query.exec("INSERT INTO reboots (time, issuer) VALUES (1, 'later')"));
        // Busy, and the journal kept, while a reader holds a snapshot.
        QVERIFY(query.exec("PRAGMA wal_checkpoint(TRUNCATE)") && query.next());
        QCOMPARE(query.value(0).toInt(), 0);
        QCOMPARE(query.value(1).toInt(), 0);
    }
    QSqlDatabase::removeDatabase("writer");
    reader.kill();
    QVERIFY(reader.waitForFinished(20000));
}

void tst_TevrikLog::followsAcrossCommitsAndARestart()
{
    QVERIFY(m_daemon.start());
    QProcess follower;
    follower.start(readerPath, {"-f", "-n", "1", "-c", m_daemon.configPath()});
    QByteArray out;
    QCOMPARE(waitForLines(follower, out, 1).size(), 1);

    QCOMPARE(m_daemon.send({"-t", "reboot", "-m", "r1"}), 0);
    QCOMPARE(m_daemon.send({"-t", "coredump", "-m", "c1"}), 0);
    QCOMPARE(waitForLines(follower, out, 3).size(), 3);
    QCOMPARE(m_daemon.send({"-t", "specfile", "-m", "task", "-m", "s1"}), 0);
    QCOMPARE(waitForLines(follower, out, 4).size(), 4);

    QVERIFY(m_daemon.stop());
    QVERIFY(m_daemon.start());
    QCOMPARE(m_daemon.send({"-t", "reboot", "-m", "r2"}), 0);
    QCOMPARE(m_daemon.send({"-t", "watchdog", "-m", "w1"}), 0);
    const QStringList lines = waitForLines(follower, out, 6);
    QVERIFY(m_daemon.stop());

    follower.terminate();
    QVERIFY(follower.waitForFinished(20000));
    out += follower.readAllStandardOutput();
    QCOMPARE(follower.exitStatus(), QProcess::NormalExit);
    QCOMPARE(follower.exitCode(), 0);
    QCOMPARE(follower.readAllStandardError(), QByteArray());
    COMPARE_LINES(withoutTimes(QString::fromUtf8(out).split('\n')),
                  (QStringList{"specfile taskname=\"task1 specfile=evil.spec\" specfile=real.spec", "reboot issuer=r1",
                               "coredump taskname=c1", "specfile taskname=task specfile=s1", "reboot issuer=r2",
                               "watchdog triggeredBy=w1", ""}));
    QCOMPARE(lines.size(), 6);
}

void tst_TevrikLog::pagesOnATerminal_data()
{
    QTest::addColumn<QString>("command");
    // What the pager saw of its environment, or empty when none ran.
    QTest::addColumn<QString>("paged");
    const QString terminal = " script -qec \"'$0' -D '$1' -M specfile=real.spec%1\" /dev/null";
    QTest::newRow("a terminal") << "PAGER=\"$2\"" + terminal.arg("") << "LESS=FRSXMK";
    QTest::newRow("the user's LESS") << "LESS=R PAGER=\"$2 --x\"" + terminal.arg("") << "LESS=R";
    QTest::newRow("the reader's own pager first") << "PAGER=cat TEVRIKLOG_PAGER=\"$2\"" + terminal.arg("")
                                                  << "LESS=FRSXMK";
    QTest::newRow("a pipe") << "PAGER=\"$2\" \"$0\" -D \"$1\" -M specfile=real.spec | cat" << "";
    QTest::newRow("--no-pager") << "PAGER=\"$2\"" + terminal.arg(" --no-pager") << "";
    QTest::newRow("a pager that cannot start") << "PAGER=\"$2.none\"" + terminal.arg("") << "";
    QTest::newRow("an empty PAGER") << "PAGER=" + terminal.arg("") << "";
}

void tst_TevrikLog::pagesOnATerminal()
{
    QFETCH(QString, command);
    QFETCH(QString, paged);
    const QString pager = QDir(m_daemon.dir()).filePath("pager.sh");
    const QString record = QDir(m_daemon.dir()).filePath("paged");
    QFile::remove(record);
    QFile script(pager);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"LESS=$LESS\" > '%1'\ncat >> '%1'\n").arg(record).toUtf8());
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const RunResult result = runProgram("/bin/bash", {"-c", "unset LESS; " + command, readerPath, m_daemon.dbPath(), pager});
    QCOMPARE(result.exitCode, 0);
    const QString forged = "specfile taskname=\"task1 specfile=evil.spec\" specfile=real.spec";
    QFile seen(record);
    if (paged.isEmpty()) {
        QVERIFY(!seen.exists());
        QCOMPARE(withoutTimes(QString::fromUtf8(result.out).remove('\r').split('\n')), (QStringList{forged, ""}));
        return;
    }
    QVERIFY(seen.open(QIODevice::ReadOnly));
    QCOMPARE(withoutTimes(QString::fromUtf8(seen.readAll()).split('\n')).mid(1), (QStringList{forged, ""}));
    seen.seek(0);
    QCOMPARE(QString::fromUtf8(seen.readLine()).trimmed(), paged);
    QCOMPARE(result.out, QByteArray());

    // Not while following, on the same terminal.
    QFile::remove(record);
    QProcess follower;
    follower.start("/bin/bash", {"-c", "unset LESS; " + command.replace("real.spec", "real.spec -f"), readerPath,
                                 m_daemon.dbPath(), pager});
    QByteArray out;
    QCOMPARE(waitForLines(follower, out, 1).size(), 1);
    QVERIFY(out.contains(forged.toUtf8()));
    follower.kill();
    QVERIFY(follower.waitForFinished(20000));
    QVERIFY(!seen.exists());
}

void tst_TevrikLog::cursorFilePrintsEachEventOnce()
{
    QVERIFY(m_daemon.start());
    const QString cursorFile = QDir(m_daemon.dir()).filePath("joinlayer.cursor");
    QStringList printed;
    const auto read = [&](const QStringList& options) {
        const RunResult result = runProgram(readerPath, QStringList{"-D", m_daemon.dbPath(), "-t", "joinlayer"} + options);
        QString out = QString::fromUtf8(result.out);
        QStringList lines = out.split('\n');
        return result.exitCode == 0 && result.err.isEmpty() && lines.takeLast().isEmpty() ? lines : QStringList{"failed"};
    };
    // Each round sends while the daemon is still storing the round before.
    const int total = 60;
    QDeadlineTimer deadline(60000);
    for (int sent = 0; printed.size() < total && !deadline.hasExpired();) {
        for (int i = 0; i < 5 && sent < total; ++i, ++sent)
            QCOMPARE(m_daemon.send({"-t", "joinlayer", "-m", QStringLiteral("j%1").arg(sent)}), 0);
        printed += withoutTimes(read({"--cursor-file", cursorFile}));
    }
    QStringList expected;
    for (int i = 0; i < total; ++i)
        expected << QStringLiteral("joinlayer taskName=j%1").arg(i);
    COMPARE_LINES(printed, expected);
    COMPARE_LINES(read({"--cursor-file", cursorFile}), QStringList());

    // The cursor that a read shows names the same place.
    const QStringList shown = read({"--show-cursor", "-n", "1"});
    QCOMPARE(shown.size(), 2);
    QVERIFY2(shown.at(1).startsWith("-- cursor: "), qPrintable(shown.at(1)));
    QFile file(cursorFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), shown.at(1).mid(11) + '\n');
    QCOMPARE(m_daemon.send({"-t", "joinlayer", "-m", "last"}), 0);
    QCOMPARE(waitForRows(m_daemon.dbPath(), "SELECT rowID FROM joinlayer WHERE taskName = 'last'", 1).size(), 1);
    COMPARE_LINES(withoutTimes(read({"--after-cursor", shown.at(1).mid(11)})), QStringList{"joinlayer taskName=last"});
    QVERIFY(m_daemon.stop());
}

QTEST_GUILESS_MAIN(tst_TevrikLog)
#include "tst_tevriklog.moc"
