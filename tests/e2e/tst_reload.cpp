// SIGHUP makes the daemon read its configuration file again and go on running.
#include "comparelines.h"
#include "daemonfixture.h"
#include "faultsupport.h"
#include "metricsparser.h"
#include "processrunner.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class tst_Reload : public QObject
{
    Q_OBJECT

private slots:
    void listensWhereTheFileSays_data();
    void listensWhereTheFileSays();
    void retentionAndMetricsTakeEffect();
};

namespace {

// The daemon's lines but the kernel's grant of a receive buffer, which depends on the machine.
QStringList reportLines(const QByteArray& err)
{
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString& line) { return line.startsWith("Warning: \"Receive buffer"); }),
                lines.end());
    return lines;
}

QStringList issuers(const QString& dbPath)
{
    return firstColumn(queryRows(dbPath, QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID")));
}

} // namespace

void tst_Reload::listensWhereTheFileSays_data()
{
    // The files' [General Settings], where %PORT% is the port of the file at the start, %NEW% a free one and %DB%
    // the database; a null reloaded file is a removed one.
    QTest::addColumn<QString>("startFile");
    QTest::addColumn<QString>("reloadedFile");
    // -p names the port listened on at the start, which the file's %PORT% is not.
    QTest::addColumn<bool>("portOnCommandLine");
    QTest::addColumn<bool>("newPortTaken");
    QTest::addColumn<bool>("movesToNewPort");
    // %CONF% stands for the file, %OLD% for the port listened on at the start, %NEW% and %DB% as above.
    QTest::addColumn<QStringList>("lines");

    const QString start = QStringLiteral("port=%PORT%\ndbpath=%DB%\n");
    const QString moved = QStringLiteral("port=%NEW%\ndbpath=%DB%\n");
    const QString reloaded = QStringLiteral("Info: \"Reloaded the configuration file \\\"%CONF%\\\": ");
    const QString cannot = QStringLiteral("Warning: \"Cannot reload the configuration file \\\"%CONF%\\\": ");
    const QString misspelt = QStringLiteral("Warning: \"Unknown key \\\"maxsise\\\" in section [General Settings] of "
                                            "\\\"%CONF%\\\": ignored; did you mean \\\"maxsize\\\"?\"");
    QTest::newRow("changed port") << start << moved << false << false << true
                                  << QStringList{reloaded + "port changed\""};
    QTest::newRow("nothing changed") << start << start + "; the lab's port\n" << false << false << false
                                     << QStringList{reloaded + "nothing changed\""};
    QTest::newRow("broken file") << start << moved + "maxage=soon\n" << false << false << false
                                 << QStringList{cannot + "Invalid maxage \\\"soon\\\": not a whole number of days from "
                                                         "0 to 36500; the running settings stay\""};
    QTest::newRow("file removed") << start << QString() << false << false << false
                                  << QStringList{cannot + "the file no longer exists; the running settings stay\""};
    QTest::newRow("new port taken") << start << moved << false << true << false
                                    << QStringList{"Warning: \"Cannot listen on 127.0.0.1 port %NEW%: The bound address "
                                                   "is already in use; listening on 127.0.0.1 port %OLD% again\"",
                                                   reloaded + "nothing changed\""};
    QTest::newRow("another dbpath") << start << "port=%PORT%\ndbpath=%DB%.new\n" << false << false << false
                                    << QStringList{"Warning: \"The database path cannot change while the daemon runs: "
                                                   "it stores into \\\"%DB%\\\" until it is restarted, not into "
                                                   "\\\"%DB%.new\\\"\"",
                                                   reloaded + "nothing changed\""};
    // Even a port that the file gets wrong, and a misspelt key at the start and again at the reload.
    QTest::newRow("-p keeps winning") << start + "maxsise=5\n" << "port=x\ndbpath=%DB%\nmaxsise=5\n" << true << false
                                      << false << QStringList{misspelt, misspelt, reloaded + "nothing changed\""};
}

void tst_Reload::listensWhereTheFileSays()
{
    QFETCH(QString, startFile);
    QFETCH(QString, reloadedFile);
    QFETCH(bool, portOnCommandLine);
    QFETCH(bool, newPortTaken);
    QFETCH(bool, movesToNewPort);
    QFETCH(QStringList, lines);

    DaemonFixture daemon;
    daemon.configure();
    const quint16 oldPort = daemon.port();
    const quint16 filePort = portOnCommandLine ? freeUdpPort() : oldPort;
    const quint16 newPort = freeUdpPort();
    const auto writeFile = [&](const QString& text) {
        QFile file(daemon.configPath());
        const QByteArray bytes = "[General Settings]\n"
                                 + QString(text).replace("%PORT%", QString::number(filePort))
                                       .replace("%NEW%", QString::number(newPort))
                                       .replace("%DB%", daemon.dbPath())
                                       .toUtf8();
        return text.isNull() ? file.remove() : file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(writeFile(startFile));
    QStringList args{QStringLiteral("-c"), daemon.configPath()};
    if (portOnCommandLine)
        args << QStringLiteral("-p") << QString::number(oldPort);
    // No -d: what a reload reports is written at any verbosity.
    QVERIFY2(daemon.startWith(args), daemon.stderrText().constData());
    const qint64 socket = udpSocketInode(oldPort);

    QUdpSocket occupant;
    if (newPortTaken)
        QVERIFY(occupant.bind(QHostAddress(QHostAddress::LocalHost), newPort, QUdpSocket::DontShareAddress));
    QVERIFY(writeFile(reloadedFile));
    // Sent just before the reload: a rebind must not lose what the old socket holds.
    QUdpSocket sender;
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("before")), oldPort));
    QVERIFY(signalProcess(daemon.process(), SIGHUP));
    // What the fixture read at the start, then what the waits read.
    QByteArray err = daemon.stderrText();
    const int startBytes = err.size();
    QVERIFY2(waitForStderrLine(daemon.process(), err, lines.last().startsWith("Info:") ? "Reloaded" : "Cannot reload"),
             err.constData());

    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("after")), movesToNewPort ? newPort : oldPort));
    QCOMPARE(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 2).size(), 2);
    QCOMPARE(issuers(daemon.dbPath()), (QStringList{QStringLiteral("before"), QStringLiteral("after")}));
    // Staying is keeping the very socket, unless a move that failed bound it again; moving closes it.
    if (movesToNewPort || !newPortTaken)
        QCOMPARE(udpSocketInode(oldPort), movesToNewPort ? qint64(-1) : socket);

    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
    err += daemon.stderrText().mid(startBytes);
    QStringList expected;
    for (const QString& line : lines)
        expected << QString(line).replace("%CONF%", daemon.configPath()).replace("%DB%", daemon.dbPath())
                        .replace("%OLD%", QString::number(oldPort)).replace("%NEW%", QString::number(newPort));
    COMPARE_LINES(reportLines(err), expected);
}

void tst_Reload::retentionAndMetricsTakeEffect()
{
    DaemonFixture daemon;
    daemon.configure();
    QVERIFY2(daemon.startWith({QStringLiteral("-c"), daemon.configPath()}), daemon.stderrText().constData());
    // Stamped in 1970: older than any maxage.
    QUdpSocket sender;
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("old")), daemon.port()));
    QCOMPARE(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 1).size(), 1);

    const QString metricsDir = daemon.dir() + QStringLiteral("/metrics");
    QVERIFY(QDir().mkdir(metricsDir));
    QFile config(daemon.configPath());
    QVERIFY(config.open(QIODevice::Append));
    config.write("maxage=1\nmetricsdir=" + metricsDir.toUtf8() + "\n");
    config.close();
    QVERIFY(signalProcess(daemon.process(), SIGHUP));
    QByteArray err;
    QVERIFY2(waitForStderrLine(daemon.process(), err, "Reloaded"), err.constData());
    COMPARE_LINES(reportLines(err), QStringList{QStringLiteral("Info: \"Reloaded the configuration file \\\"%1\\\": "
                                                               "maxage, metricsdir changed\"")
                                                    .arg(daemon.configPath())});

    // Pruned without another event to commit, and counted in the metrics file that the reload started.
    QTRY_COMPARE_WITH_TIMEOUT(issuers(daemon.dbPath()), QStringList(), 20000);
    QVERIFY(signalProcess(daemon.process(), SIGUSR1));
    QVERIFY2(waitForStderrLine(daemon.process(), err, "Counters:"), err.constData());
    QCOMPARE(parseMetricsFile(metricsDir + QStringLiteral("/tevriksystemlog.prom"))
                 .value(QStringLiteral("tevriksystemlog_rows_pruned_total"))
                 .value,
             1.0);
    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_Reload)
#include "tst_reload.moc"
