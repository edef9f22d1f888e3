// Stopping the daemon with SIGTERM or SIGINT stores every datagram already waiting in its socket.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "processrunner.h"

#include <QHostAddress>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

class TestGracefulStop : public QObject
{
    Q_OBJECT

private slots:
    void waitingEventsAreStored_data();
    void waitingEventsAreStored();
};

void TestGracefulStop::waitingEventsAreStored_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("toSend");

    QTest::newRow("SIGTERM, nothing waiting") << int(SIGTERM) << 0;
    QTest::newRow("SIGTERM, thousands waiting") << int(SIGTERM) << 5000;
    QTest::newRow("SIGINT, hundreds waiting") << int(SIGINT) << 300;
}

void TestGracefulStop::waitingEventsAreStored()
{
    QFETCH(int, signalNumber);
    QFETCH(int, toSend);

    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    const qint64 pid = daemon.process().processId();
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QVERIFY(waitForProcessState(pid, 'T'));

    // Once the receive buffer is full the kernel drops every later datagram, so the ones that
    // wait are exactly the first sent minus the dropped.
    QUdpSocket sender;
    int sent = 0;
    while (sent < toSend && receiveBufferDrops(daemon.port()) == 0) {
        for (const int batchEnd = qMin(toSend, sent + 64); sent < batchEnd; ++sent)
            QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("waiting-%1").arg(sent)), daemon.port()));
    }
    const qint64 dropped = receiveBufferDrops(daemon.port());
    QVERIFY(dropped >= 0);
    const int waiting = sent - int(dropped);
    QVERIFY2(waiting >= qMin(toSend, 100), qPrintable(QStringLiteral("only %1 datagrams fit").arg(waiting)));

    QCOMPARE(::kill(pid, signalNumber), 0);
    QCOMPARE(::kill(pid, SIGCONT), 0);
    QVERIFY(daemon.process().waitForFinished(60000));
    QCOMPARE(daemon.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.process().exitCode(), 0);
    const QByteArray line = QStringLiteral("Debug: \"Stopping on signal %1: stored the waiting events.\"\n")
                                .arg(signalNumber)
                                .toUtf8();
    QVERIFY2(daemon.stderrText().contains(line), daemon.stderrText().right(2000).constData());

    // The database was closed: the last connection folds its write-ahead journal back into the file.
    QVERIFY(!QFile::exists(daemon.dbPath() + QStringLiteral("-wal")));
    QStringList expected;
    for (int i = 0; i < waiting; ++i)
        expected << QStringLiteral("waiting-%1").arg(i);
    QCOMPARE(firstColumn(queryRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID"))),
             expected);
}

QTEST_GUILESS_MAIN(TestGracefulStop)
#include "tst_gracefulstop.moc"
