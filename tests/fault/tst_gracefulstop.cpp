// Stopping the daemon with SIGTERM or SIGINT stores every datagram already waiting in its socket.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "processrunner.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QUdpSocket>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <thread>

class tst_GracefulStop : public QObject
{
    Q_OBJECT

private slots:
    void waitingEventsAreStored_data();
    void waitingEventsAreStored();
    void stopsWhileSendersKeepSending();
};

void tst_GracefulStop::waitingEventsAreStored_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("toSend");

    QTest::newRow("SIGTERM, nothing waiting") << int(SIGTERM) << 0;
    QTest::newRow("SIGTERM, thousands waiting") << int(SIGTERM) << 5000;
    QTest::newRow("SIGINT, hundreds waiting") << int(SIGINT) << 300;
}

void tst_GracefulStop::waitingEventsAreStored()
{
    QFETCH(int, signalNumber);
    QFETCH(int, toSend);

    // The stop decodes what the receive thread queued, then reads the socket itself.
    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    const qint64 pid = daemon.process().processId();
    QVERIFY(signalProcess(daemon.process(), SIGSTOP));
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

    QVERIFY(signalProcess(daemon.process(), signalNumber));
    QVERIFY(signalProcess(daemon.process(), SIGCONT));
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

void tst_GracefulStop::stopsWhileSendersKeepSending()
{
    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());

    // A flood bounded in time and count that outlasts the drain's deadline by far.
    std::atomic<bool> stop{false};
    const quint16 port = daemon.port();
    std::thread flood([&stop, port] {
        QUdpSocket sender;
        const QByteArray datagram = rebootDatagram(QStringLiteral("flood"));
        QElapsedTimer elapsed;
        elapsed.start();
        for (int sent = 0; !stop && sent < 20000000 && !elapsed.hasExpired(60000); ++sent)
            sendDatagram(sender, datagram, port);
    });
    QVERIFY(!waitForRows(daemon.dbPath(), QStringLiteral("SELECT 1 FROM reboots LIMIT 1"), 1).isEmpty());

    QVERIFY(signalProcess(daemon.process(), SIGTERM));
    const bool finished = daemon.process().waitForFinished(30000);
    stop = true;
    flood.join();
    QVERIFY(finished);
    QCOMPARE(daemon.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.process().exitCode(), 0);
    QCOMPARE(queryRows(daemon.dbPath(), QStringLiteral("PRAGMA integrity_check")).value(0).value(0).toString(),
             QStringLiteral("ok"));
}

QTEST_GUILESS_MAIN(tst_GracefulStop)
#include "tst_gracefulstop.moc"
