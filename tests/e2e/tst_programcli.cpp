// The two programs' command lines: help, errors, overrides, refusals and verbosity.
#include "comparelines.h"
#include "daemonfixture.h"
#include "logmessage.pb.h"
#include "processrunner.h"

#include <QHostAddress>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString daemonPath = QStringLiteral(TEVRIKSYSTEMLOG_PATH);
const QString senderPath = QStringLiteral(TEVRIKLOGEVENT_PATH);

// One help line: the usage part padded to the description column.
QString helpLine(const QString& usage, int descriptionColumn, const QString& description)
{
    return usage.leftJustified(descriptionColumn, QLatin1Char(' ')) + description;
}

} // namespace

class tst_ProgramCli : public QObject
{
    Q_OBJECT

private slots:
    void daemonGeneralHelp();
    void optionHelp_data();
    void optionHelp();
    void commandLineErrors_data();
    void commandLineErrors();
    void daemonOverridesInAnyOrder_data();
    void daemonOverridesInAnyOrder();
    void daemonRefusesToStart_data();
    void daemonRefusesToStart();
    void daemonRefusesOccupiedPort();
    void senderInputErrors_data();
    void senderInputErrors();
    void senderDatagram_data();
    void senderDatagram();
    void senderReportsFailedSend();
    void verbosity_data();
    void verbosity();
};

void tst_ProgramCli::daemonGeneralHelp()
{
    QTemporaryDir dir;
    const QString config = dir.filePath("daemon.conf");
    const QString db = dir.filePath("systemlog.db");
    writeConfig(config, "127.0.0.1", QString::number(freeUdpPort()), db);

    const RunResult result = runProgram(daemonPath, {"-c", config, "-d", "-d", "-d", "--help"});
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 255);
    const QString expected =
        QStringLiteral("The tevriksystemlog daemon provides a system service that\nlistens for tevrik system "
                       "events and captures system information.\n\nFor more help with a specific option, use "
                       "--help <option>\n\nUSAGE: ")
        + daemonPath
        + QStringLiteral(" [-c,--c[onfigfile] <arg>] [-a,--a[ddress] <arg>] [-p,--p[ort] <arg>] [-d,--d[ebugMsgs]] "
                         "[-h,--h[elp]]\n\n")
        + helpLine("  -c, --c[onfigfile] <arg>", 29, "Override the default configuration file.\n")
        + helpLine("  -a, --a[ddress] <arg>", 29, "Set the listen address.\n")
        + helpLine("  -p, --p[ort] <arg>", 29, "Set the listen port.\n")
        + helpLine("  -d, --d[ebugMsgs] [...]", 29, "Enable debug messages.\n")
        + helpLine("  -h, --h[elp]", 29, "Print this help.\n");
    COMPARE_LINES(QString::fromUtf8(result.out).split('\n'), expected.split('\n'));
    // Help ends the process before any socket or database exists.
    QCOMPARE(result.err, QByteArray("\r\n"));
    QVERIFY(!QFile::exists(db));
}

void tst_ProgramCli::optionHelp_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");

    // How help finds an option, and the sender's texts, are checked with the framework; these rows check the
    // daemon's texts and each program's streams.
    QTest::newRow("sender --help port")
        << senderPath << QStringList{"--help", "port"}
        << QStringLiteral("\nUSAGE: -p, --p[ort] <arg>\n\nDESCRIPTION: UDP port number on target machine, "
                          "defaults to 7777\n");
    QTest::newRow("daemon --help --conf")
        << daemonPath << QStringList{"--help", "--conf"}
        << QStringLiteral("\nUSAGE: -c, --c[onfigfile] <arg>\n\nDESCRIPTION: Force TevrikSystemLog to use the "
                          "specified configuration file instead of the default at "
                          "/etc/tevriksystemlog/tevriksystemlog.conf.\n");
    QTest::newRow("daemon --help -p")
        << daemonPath << QStringList{"--help", "-p"}
        << QStringLiteral("\nUSAGE: -p, --p[ort] <arg>\n\nDESCRIPTION: Overrides the port to listen on, this "
                          "supercedes all other configuration sources.\n");
    QTest::newRow("daemon --help address")
        << daemonPath << QStringList{"--help", "address"}
        << QStringLiteral("\nUSAGE: -a, --a[ddress] <arg>\n\nDESCRIPTION: Overrides the ip address to listen on, "
                          "this supercedes all other configuration sources.\n");
    QTest::newRow("daemon --help -d")
        << daemonPath << QStringList{"--help", "-d"}
        << QStringLiteral("\nUSAGE: -d, --d[ebugMsgs]\n\nDESCRIPTION: Enable debug messages. You can place this "
                          "argument multiple times to increase verbosity. Such as: tevriksystemlog -d -d -d\n");
}

void tst_ProgramCli::optionHelp()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    const RunResult result = runProgram(program, args);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 255);
    // The sender ends help with the line end on standard output, the daemon on standard error.
    if (program == senderPath) {
        COMPARE_LINES(QString::fromUtf8(result.out).split('\n'), (expected + "\r\n").split('\n'));
        QCOMPARE(result.err, QByteArray());
    } else {
        COMPARE_LINES(QString::fromUtf8(result.out).split('\n'), expected.split('\n'));
        QCOMPARE(result.err, QByteArray("\r\n"));
    }
}

void tst_ProgramCli::commandLineErrors_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    // The framework's own errors are checked with it; these rows check each program's options and its stream.
    QTest::newRow("sender without type") << senderPath << QStringList{} << "Not defined mandatory argument: type";
    QTest::newRow("sender without payload") << senderPath << QStringList{"-t", "reboot"}
                                            << "Not defined mandatory argument: msgpayload";
    QTest::newRow("sender host name") << senderPath << QStringList{"-a", "localhost", "-t", "reboot", "-m", "a"}
                                      << "Constraint for the argument: address hasn't observed. Wrong value is: "
                                         "localhost";
    QTest::newRow("sender port too large") << senderPath << QStringList{"-p", "65536", "-t", "reboot", "-m", "a"}
                                           << "Constraint for the argument: port hasn't observed. Wrong value is: "
                                              "65536";

    QTest::newRow("daemon config without value") << daemonPath << QStringList{"-c"}
                                                 << "Not defined value of the argument: configfile";
    QTest::newRow("daemon host name") << daemonPath << QStringList{"-a", "localhost"}
                                      << "Constraint for the argument: address hasn't observed. Wrong value is: "
                                         "localhost";
    QTest::newRow("daemon port wraps") << daemonPath << QStringList{"--port", "65536"}
                                       << "Constraint for the argument: port hasn't observed. Wrong value is: 65536";
}

void tst_ProgramCli::commandLineErrors()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    const RunResult result = runProgram(program, args);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 255);
    // The daemon reports on standard error, the sender on standard output.
    const QByteArray expected = message.toUtf8() + "\r\n";
    if (program == senderPath) {
        QCOMPARE(result.out, expected);
        QCOMPARE(result.err, QByteArray());
    } else {
        QCOMPARE(result.err, expected);
        QCOMPARE(result.out, QByteArray());
    }
}

void tst_ProgramCli::daemonOverridesInAnyOrder_data()
{
    QTest::addColumn<QStringList>("pattern");
    QTest::newRow("config first") << QStringList{"-c", "CONF", "-a", "127.0.0.1", "-p", "PORT"};
    QTest::newRow("config last") << QStringList{"-p", "PORT", "-a", "127.0.0.1", "-c", "CONF"};
    QTest::newRow("config between") << QStringList{"--port=PORT", "--conf", "CONF", "--address=127.0.0.1"};
    QTest::newRow("attached values") << QStringList{"-pPORT", "-cCONF"};
}

void tst_ProgramCli::daemonOverridesInAnyOrder()
{
    QFETCH(QStringList, pattern);

    DaemonFixture daemon;
    daemon.configure();
    // The file names a loopback port that the override of the fixture's own port replaces.
    QUdpSocket fileSocket;
    QVERIFY(fileSocket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    writeConfig(daemon.configPath(), "127.0.0.1", QString::number(fileSocket.localPort()), daemon.dbPath());

    QStringList args{"-d", "-d", "-d"};
    for (QString word : pattern)
        args << word.replace("CONF", daemon.configPath()).replace("PORT", QString::number(daemon.port()));
    QVERIFY2(daemon.startWith(args), daemon.stderrText().constData());
    QVERIFY(waitForStderrLine(daemon.process(), daemon.stderrText(), "Bind to udp socket succeeded: true"));

    QCOMPARE(daemon.send({"-t", "reboot", "-m", "override"}), 0);
    const QList<QVariantList> rows = waitForRows(daemon.dbPath(), "SELECT issuer FROM reboots", 1);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().first().toString(), QStringLiteral("override"));
    QVERIFY(!fileSocket.hasPendingDatagrams());
}

void tst_ProgramCli::daemonRefusesToStart_data()
{
    QTest::addColumn<QString>("configText");
    QTest::addColumn<QStringList>("extraArgs");
    // What the database file holds before the start: nothing, a text, or another program's SQLite tables.
    QTest::addColumn<QByteArray>("dbFile");
    QTest::addColumn<QString>("error");

    // The configuration's checks are tested with it; here one row per kind of refusal.
    const QString valid = QStringLiteral("address=127.0.0.1\nport=FREE\ndbpath=DB\n");
    QTest::newRow("host name in file") << "address=localhost\nport=FREE\ndbpath=DB\n" << QStringList{} << QByteArray()
                                       << "Error: Invalid address \"localhost\": not a numeric IPv4 or IPv6 address";
    QTest::newRow("database directory missing")
        << "address=127.0.0.1\nport=FREE\ndbpath=DIR/missing/x.db\n" << QStringList{} << QByteArray()
        << "Error: Cannot use database \"DIR/missing/x.db\": unable to open database file; check that its directory "
           "exists and that the daemon's user may write to it";
    QTest::newRow("database is a directory")
        << "address=127.0.0.1\nport=FREE\ndbpath=DIR\n" << QStringList{} << QByteArray()
        << "Error: Cannot use database \"DIR\": it is a directory; set dbpath to a file, such as \"DIR/systemlog.db\"";
    QTest::newRow("database is not SQLite")
        << valid << QStringList{} << QByteArray("[General Settings]\naddress=127.0.0.1\n")
        << "Error: Cannot use database \"DB\": the file is not an SQLite database; set dbpath to the system log's "
           "database or to a file that does not exist yet";
    QTest::newRow("database of another program")
        << valid << QStringList{} << QByteArray("CREATE TABLE accounts (id INTEGER PRIMARY KEY)")
        << "Error: Cannot use database \"DB\": it holds tables of another program (accounts) and none of the system "
           "log's; set dbpath to the system log's database or to a file that does not exist yet";
    QTest::newRow("config file missing") << valid << QStringList{"-c", "DIR/nosuch.conf"} << QByteArray()
                                         << "Error: Cannot read configuration file \"DIR/nosuch.conf\"";
    QTest::newRow("config file is a directory") << valid << QStringList{"-c", "DIR"} << QByteArray()
                                                << "Error: Cannot read configuration file \"DIR\"";
}

void tst_ProgramCli::daemonRefusesToStart()
{
    QFETCH(QString, configText);
    QFETCH(QStringList, extraArgs);
    QFETCH(QByteArray, dbFile);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString config = dir.filePath("daemon.conf");
    const QString db = dir.filePath("systemlog.db");
    if (dbFile.startsWith("CREATE")) {
        QCOMPARE(execStatements(db, {QString::fromUtf8(dbFile)}), QString());
    } else if (!dbFile.isEmpty()) {
        QFile text(db);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(dbFile);
    }
    QFile before(db);
    const QByteArray held = before.open(QIODevice::ReadOnly) ? before.readAll() : QByteArray();
    before.close();
    const auto fill = [&](QString text) {
        return text.replace("FREE", QString::number(freeUdpPort())).replace("DB", db).replace("DIR", dir.path());
    };
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General Settings]\n" + fill(configText).toUtf8());
    file.close();

    QStringList args{"-c", config};
    for (const QString& word : extraArgs)
        args << fill(word);
    const RunResult result = runProgram(daemonPath, args);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    // One line whatever the verbosity, and no database file when the settings were refused.
    const QStringList lines = QString::fromUtf8(result.err).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines.first(), fill(error));
    // The database is left as it was: absent, or unchanged.
    QFile after(db);
    QCOMPARE(after.exists(), !dbFile.isEmpty());
    QVERIFY(!after.exists() || (after.open(QIODevice::ReadOnly) && after.readAll() == held));
}

void tst_ProgramCli::daemonRefusesOccupiedPort()
{
    QTemporaryDir dir;
    QUdpSocket occupier;
    QVERIFY(occupier.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QString config = dir.filePath("daemon.conf");
    const QString db = dir.filePath("systemlog.db");
    writeConfig(config, "127.0.0.1", QString::number(occupier.localPort()), db);

    const RunResult result = runProgram(daemonPath, {"-c", config, "-d", "-d", "-d"});
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    const QStringList lines = QString::fromUtf8(result.err).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("Debug: \"Bind to udp socket succeeded: false\""));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("Error: Cannot listen on 127.0.0.1 port %1: ")
                                        .arg(occupier.localPort())),
             qPrintable(lines.at(1)));
    QVERIFY(!QFile::exists(db));
}

void tst_ProgramCli::senderInputErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("fatal");

    QTest::newRow("type in other case") << QStringList{"-t", "CoreDump", "-m", "a"}
                                        << "Unknown message type. Aborting.";
    QTest::newRow("type with blank") << QStringList{"-t", "reboot ", "-m", "a"} << "Unknown message type. Aborting.";
    QTest::newRow("four machineconfig values") << QStringList{"-t", "machineconfig", "-m", "1", "-m", "2", "-m", "3",
                                                              "-m", "4"}
                                               << "Too few arguments for the machineconfig message type. Aborting.";
    QTest::newRow("trailing -m without value") << QStringList{"-t", "specfile", "-m", "a", "-m"}
                                               << "Too few arguments for the specfile message type. Aborting.";
    QTest::newRow("record number word") << QStringList{"-t", "generic", "-m", "x", "-m", "k", "-m", "v"}
                                        << "Invalid record number: x. Aborting.";
    QTest::newRow("record number negative") << QStringList{"-t", "generic", "-m", "-1", "-m", "k", "-m", "v"}
                                            << "Invalid record number: -1. Aborting.";
    QTest::newRow("record number overflow")
        << QStringList{"-t", "generic", "-m", "18446744073709551616", "-m", "k", "-m", "v"}
        << "Invalid record number: 18446744073709551616. Aborting.";
    QTest::newRow("record number empty") << QStringList{"-t", "generic", "-m", "", "-m", "k", "-m", "v"}
                                         << "Invalid record number: . Aborting.";
}

void tst_ProgramCli::senderInputErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, fatal);

    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const RunResult result = runProgram(senderPath, QStringList{"-p", QString::number(receiver.localPort())} + args);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.err, "Fatal: \"" + fatal.toUtf8() + "\"\n");
    QCOMPARE(result.out, QByteArray());
    QVERIFY(!receiver.hasPendingDatagrams());
}

void tst_ProgramCli::senderDatagram_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");

    QTest::newRow("generic zero bytes over IPv4")
        << "127.0.0.1" << QStringList{"-t", "generic", "-m", "0", "-m", "k", "-m", ""}
        << "generic { recordNumber: 0 key: \"k\" value: \"\" }";
    QTest::newRow("largest record number over IPv6")
        << "::1" << QStringList{"-t", "generic", "-m", "18446744073709551615", "-m", "k", "-m", "v"}
        << "generic { recordNumber: 18446744073709551615 key: \"k\" value: \"v\" }";
}

void tst_ProgramCli::senderDatagram()
{
    QFETCH(QString, address);
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    QUdpSocket receiver;
    if (!receiver.bind(QHostAddress(address), 0))
        QSKIP("loopback address not available");
    const RunResult result = runProgram(
        senderPath, QStringList{"-a", address, "-p", QString::number(receiver.localPort())} + args);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, QByteArray());
    QTRY_VERIFY(receiver.hasPendingDatagrams());

    QByteArray datagram(static_cast<int>(receiver.pendingDatagramSize()), '\0');
    QCOMPARE(receiver.readDatagram(datagram.data(), datagram.size()), qint64(datagram.size()));
    LogEvent event;
    QVERIFY(event.ParseFromArray(datagram.constData(), datagram.size()));
    // Compare the text form without the timestamp, which is checked end to end elsewhere.
    QString text = QString::fromStdString(event.ShortDebugString());
    text.remove(QRegularExpression(QStringLiteral("timestamp: \\d+ ")));
    QCOMPARE(text, expected);
}

void tst_ProgramCli::senderReportsFailedSend()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QString tooLong(70000, QLatin1Char('x'));
    const RunResult result = runProgram(
        senderPath, {"-d", "-d", "-d", "-p", QString::number(receiver.localPort()), "-t", "sysload", "-m", tooLong});
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    const QStringList lines = QString::fromUtf8(result.err).split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.contains(QStringLiteral("Debug: \"Transmit success: false\"")));
    QVERIFY2(lines.last().startsWith(
                 QStringLiteral("Error: Sending the event to 127.0.0.1 port %1 failed: ").arg(receiver.localPort())),
             qPrintable(lines.last()));
    QVERIFY(!receiver.hasPendingDatagrams());
}

void tst_ProgramCli::verbosity_data()
{
    QTest::addColumn<QStringList>("debugArgs");
    QTest::addColumn<bool>("debugShown");
    QTest::addColumn<bool>("warningShown");

    QTest::newRow("quiet") << QStringList{} << false << false;
    QTest::newRow("-d") << QStringList{"-d"} << false << false;
    QTest::newRow("-d -d") << QStringList{"-d", "-d"} << false << true;
    QTest::newRow("-d -d -d") << QStringList{"-d", "-d", "-d"} << true << true;
    QTest::newRow("-d3") << QStringList{"-d3"} << true << true;
    QTest::newRow("-d 256 wraps to 0") << QStringList{"-d", "256"} << false << false;
    QTest::newRow("-d 300 wraps to 44") << QStringList{"-d", "300"} << true << true;
}

void tst_ProgramCli::verbosity()
{
    QFETCH(QStringList, debugArgs);
    QFETCH(bool, debugShown);
    QFETCH(bool, warningShown);

    DaemonFixture daemon;
    daemon.configure();
    QVERIFY2(daemon.startWith(QStringList{"-c", daemon.configPath()} + debugArgs), daemon.stderrText().constData());

    const RunResult sent = runProgram(senderPath, QStringList{"-p", QString::number(daemon.port()), "-t", "reboot", "-m",
                                                              "admin", "-m", "extra"} + debugArgs);
    QCOMPARE(sent.exitCode, 0);
    QCOMPARE(waitForRows(daemon.dbPath(), "SELECT issuer FROM reboots", 1).size(), 1);
    daemon.kill();
    const QString daemonErr = QString::fromUtf8(daemon.stderrText());
    const QString senderErr = QString::fromUtf8(sent.err);

    const QStringList daemonDebug{
        "Debug: \"Bind to udp socket succeeded: true\"",
        "Debug: \"\" \"\" \"CREATE TABLE IF NOT EXISTS schemaver    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, "
        "time INTEGER NOT NULL, version INTEGER NOT NULL)\"",
        "Debug: \"New datagrams pending.\"",
        "Debug: \"Read new datagram.\"",
        "Debug: \"\" \"\" \"INSERT INTO reboots (time, issuer) VALUES (:time, :issuer)\"",
    };
    for (const QString& line : daemonDebug)
        QCOMPARE(daemonErr.split('\n').contains(line), debugShown);
    QCOMPARE(daemonErr.contains("Debug:"), debugShown);

    QCOMPARE(senderErr.contains("Debug: \"reboot {\\n  timestamp: "), debugShown);
    QCOMPARE(senderErr.split('\n').contains("Debug: \"Transmit success: true\""), debugShown);
    QCOMPARE(senderErr.split('\n').contains(
                 "Warning: \"Too many arguments for the reboot message type. Ignoring extras.\""),
             warningShown);
    QCOMPARE(sent.out, QByteArray());
}

QTEST_GUILESS_MAIN(tst_ProgramCli)
#include "tst_programcli.moc"
