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
    QStringList lines;
    for (const QString& line : QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("Warning: \"Receive buffer")))
            lines << line;
    }
    return lines;
}

QStringList issuers(const QString& dbPath)
{
    return firstColumn(queryRows(dbPath, QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID")));
}

} // namespace

void tst_Reload::listensWhereTheFileSays_data()
{
    // The file's [General Settings] lines after address, port and dbpath, at the start and at the reload.
    QTest::addColumn<QString>("startExtra");
    QTest::addColumn<QString>("reloadExtra");
    // Whether the reloaded file keeps its port; else it names a new one.
    QTest::addColumn<bool>("samePort");
    QTest::addColumn<bool>("portOnCommandLine");
    QTest::addColumn<bool>("newPortTaken");
    QTest::addColumn<bool>("movesToNewPort");
    // %1 stands for the file, %2 for the port listened on at the start, %3 for the port of the reloaded file.
    QTest::addColumn<QStringList>("lines");

    const QString reloaded = QStringLiteral("Info: \"Reloaded the configuration file \\\"%1\\\": ");
    QTest::newRow("changed port") << QString() << QString() << false << false << false << true
                                  << QStringList{reloaded + "port changed\""};
    QTest::newRow("nothing changed") << QString() << QStringLiteral("; the lab's port\n") << true << false << false
                                     << false << QStringList{reloaded + "nothing changed\""};
    QTest::newRow("broken file") << QString() << QStringLiteral("maxage=soon\n") << false << false << false << false
                                 << QStringList{"Warning: \"Cannot reload the configuration file \\\"%1\\\": Invalid "
                                                "maxage \\\"soon\\\": not a whole number of days from 0 to 36500; the "
                                                "running settings stay\""};
    QTest::newRow("new port taken") << QString() << QString() << false << false << true << false
                                    << QStringList{"Warning: \"Cannot listen on 127.0.0.1 port %3: The bound address is "
                                                   "already in use; listening on 127.0.0.1 port %2 again\"",
                                                   reloaded + "nothing changed\""};
    const QString misspelt = QStringLiteral("Warning: \"Unknown key \\\"maxsise\\\" in section [General Settings] of "
                                            "\\\"%1\\\": ignored; did you mean \\\"maxsize\\\"?\"");
    QTest::newRow("-p keeps winning, a misspelt key at the start and at the reload")
        << QStringLiteral("maxsise=5\n") << QStringLiteral("maxsise=5\n") << false << true << false << false
        << QStringList{misspelt, misspelt, reloaded + "nothing changed\""};
}

void tst_Reload::listensWhereTheFileSays()
{
    QFETCH(QString, startExtra);
    QFETCH(QString, reloadExtra);
    QFETCH(bool, samePort);
    QFETCH(bool, portOnCommandLine);
    QFETCH(bool, newPortTaken);
    QFETCH(bool, movesToNewPort);
    QFETCH(QStringList, lines);

    DaemonFixture daemon;
    daemon.configure();
    const quint16 oldPort = daemon.port();
    const quint16 newPort = freeUdpPort();
    QVERIFY(newPort != oldPort);
    const auto writeFile = [&daemon](quint16 port, const QString& extra) {
        writeConfig(daemon.configPath(), QStringLiteral("127.0.0.1"), QString::number(port), daemon.dbPath());
        QFile file(daemon.configPath());
        return file.open(QIODevice::Append) && file.write(extra.toUtf8()) == extra.toUtf8().size();
    };
    // With -p the file names another port from the start, which the command line overrides.
    const quint16 filePort = portOnCommandLine ? freeUdpPort() : oldPort;
    QVERIFY(writeFile(filePort, startExtra));
    QStringList args{QStringLiteral("-c"), daemon.configPath()};
    if (portOnCommandLine)
        args << QStringLiteral("-p") << QString::number(oldPort);
    // No -d: what a reload reports is written at any verbosity.
    QVERIFY2(daemon.startWith(args), daemon.stderrText().constData());

    QUdpSocket occupant;
    if (newPortTaken)
        QVERIFY(occupant.bind(QHostAddress(QHostAddress::LocalHost), newPort, QUdpSocket::DontShareAddress));
    QVERIFY(writeFile(samePort ? filePort : newPort, reloadExtra));
    // Sent just before the reload: a rebind must not lose what the old socket holds.
    QUdpSocket sender;
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("before")), oldPort));
    QVERIFY(signalProcess(daemon.process(), SIGHUP));
    // What the fixture read at the start, then what the waits read.
    QByteArray err = daemon.stderrText();
    const int startBytes = err.size();
    const QByteArray last = lines.last().startsWith(QLatin1String("Info:")) ? "Reloaded" : "Cannot reload";
    QVERIFY2(waitForStderrLine(daemon.process(), err, last), err.constData());

    const quint16 listening = movesToNewPort ? newPort : oldPort;
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("after")), listening));
    QCOMPARE(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 2).size(), 2);
    QCOMPARE(issuers(daemon.dbPath()), (QStringList{QStringLiteral("before"), QStringLiteral("after")}));
    if (movesToNewPort)
        QCOMPARE(receiveBufferDrops(oldPort), qint64(-1));

    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.process().exitCode(), 0);
    err += daemon.stderrText().mid(startBytes);
    QStringList expected;
    for (const QString& line : lines)
        expected << QString(line).replace(QLatin1String("%1"), daemon.configPath())
                        .replace(QLatin1String("%2"), QString::number(oldPort))
                        .replace(QLatin1String("%3"), QString::number(newPort));
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
    const QString metricsFile = metricsDir + QStringLiteral("/tevriksystemlog.prom");
    QVERIFY(signalProcess(daemon.process(), SIGUSR1));
    QVERIFY2(waitForStderrLine(daemon.process(), err, "Counters:"), err.constData());
    QCOMPARE(parseMetricsFile(metricsFile).value(QStringLiteral("tevriksystemlog_rows_pruned_total")).value, 1.0);
    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_Reload)
#include "tst_reload.moc"
