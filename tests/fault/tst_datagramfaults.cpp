// Hostile and unusual datagrams: floods of malformed ones, the largest possible one, other
// source addresses. The daemon stores every valid event, keeps its memory and never answers.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "logmessage.pb.h"
#include "metricsparser.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

#include <memory>
#include <vector>

namespace {

// IPv4's largest UDP payload: 65535 less the IPv4 and UDP headers.
const int largestDatagram = 65507;

// AddressSanitizer keeps freed blocks in quarantine, so there resident memory grows by design;
// its leak check when the daemon exits (daemonNeverAnswers) takes the place of the memory bound.
#ifdef __SANITIZE_ADDRESS__
const bool residentMemoryShowsLeaks = false;
#else
const bool residentMemoryShowsLeaks = true;
#endif

QByteArray randomBytes(QRandomGenerator& random, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

// Datagrams that can never decode, of five kinds in turn.
QByteArray malformedDatagram(QRandomGenerator& random, int index)
{
    switch (index % 5) {
    case 0: {
        // A valid encoding cut short: its payload claims more bytes than follow.
        const QByteArray valid = rebootDatagram(QStringLiteral("cut short"));
        return valid.left(random.bounded(1, valid.size()));
    }
    case 1: {
        // A Reboot without its required issuer.
        LogEvent event;
        event.mutable_reboot()->set_timestamp(random.generate64());
        return QByteArray::fromStdString(event.SerializePartialAsString());
    }
    case 2:
        // A tag with the wire type 6 or 7, which does not exist.
        return char(random.bounded(1, 16) << 3 | random.bounded(6, 8)) + randomBytes(random, random.bounded(32));
    case 3:
        // A length that runs past the end of the datagram.
        return QByteArray("\x0a\xff\xff\x03", 4) + randomBytes(random, random.bounded(64));
    default:
        // Kilobytes of noise behind an invalid tag, so that a leak would show in the memory.
        return char(0x07) + randomBytes(random, random.bounded(2048, 4096));
    }
}

} // namespace

class tst_DatagramFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void malformedFloodLosesNoValidEvent();
    void largestDatagramStoredIntact();
    void anySourceAccepted_data();
    void anySourceAccepted();
    void kernelDropsCountedExactly_data();
    void kernelDropsCountedExactly();
    void daemonNeverAnswers();

private:
    QUdpSocket* newSender();

    DaemonFixture m_daemon;
    std::vector<std::unique_ptr<QUdpSocket>> m_senders;
};

QUdpSocket* tst_DatagramFaults::newSender()
{
    m_senders.push_back(std::make_unique<QUdpSocket>());
    return m_senders.back().get();
}

void tst_DatagramFaults::initTestCase()
{
    QVERIFY2(m_daemon.start(), m_daemon.stderrText().constData());
}

void tst_DatagramFaults::malformedFloodLosesNoValidEvent()
{
    const int malformed = 10000;
    const int warmUp = 2000;
    QRandomGenerator random(20261207);
    QUdpSocket* sender = newSender();
    const QString sql = QStringLiteral("SELECT issuer FROM reboots WHERE issuer LIKE 'valid-%' ORDER BY rowID");
    QStringList valid;
    qint64 warmKb = -1;

    for (int i = 0; i < malformed; ++i) {
        QVERIFY(sendDatagram(*sender, malformedDatagram(random, i), m_daemon.port()));
        if (i % 10 == 9) {
            valid << QStringLiteral("valid-%1").arg(valid.size());
            QVERIFY(sendDatagram(*sender, rebootDatagram(valid.last()), m_daemon.port()));
        }
        // Let the daemon catch up now and then, so that the receive buffer never overflows.
        if (i % 500 == 499) {
            QCOMPARE(waitForRows(m_daemon.dbPath(), sql, valid.size()).size(), valid.size());
            if (i + 1 == warmUp)
                warmKb = residentKb(m_daemon.process().processId());
        }
    }
    QCOMPARE(firstColumn(queryRows(m_daemon.dbPath(), sql)), valid);
    QTRY_COMPARE_WITH_TIMEOUT(m_daemon.stderrText().count("Debug: \"Parsing datagram failed!\""), malformed, 20000);
    QCOMPARE(m_daemon.process().state(), QProcess::Running);

    const qint64 endKb = residentKb(m_daemon.process().processId());
    QVERIFY(warmKb > 0 && endKb > 0);
    // The sixteen hundred noise datagrams after the warm-up alone hold about 5 MB.
    if (residentMemoryShowsLeaks)
        QVERIFY2(endKb - warmKb < 3072,
                 qPrintable(QStringLiteral("VmRSS grew from %1 kB to %2 kB").arg(warmKb).arg(endKb)));
}

void tst_DatagramFaults::largestDatagramStoredIntact()
{
    LogEvent event;
    SystemLoad* load = event.mutable_systemload();
    load->set_timestamp(1);
    std::string text;
    // The size of the length prefixes depends on the text's length, so converge on the total.
    for (int length = largestDatagram; int(event.ByteSizeLong()) != largestDatagram;) {
        length += largestDatagram - int(event.ByteSizeLong());
        text.resize(size_t(length));
        for (int i = 0; i < length; ++i)
            text[size_t(i)] = char(' ' + (i * 7) % 95);
        load->set_sysload(text);
    }
    const QByteArray datagram = QByteArray::fromStdString(event.SerializeAsString());
    QCOMPARE(datagram.size(), largestDatagram);

    QVERIFY(sendDatagram(*newSender(), datagram, m_daemon.port()));
    const QString sql = QStringLiteral("SELECT sysload FROM systemload");
    const QList<QVariantList> rows = waitForRows(m_daemon.dbPath(), sql, 1);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().first().toString(), QString::fromStdString(text));
}

void tst_DatagramFaults::anySourceAccepted_data()
{
    QTest::addColumn<QString>("sourceAddress");
    QTest::addColumn<bool>("bindFirst");

    QTest::newRow("127.0.0.2, another loopback address") << "127.0.0.2" << true;
    QTest::newRow("127.0.0.1, a port of its own") << "127.0.0.1" << true;
    QTest::newRow("unbound socket, port chosen on sending") << QString() << false;
}

void tst_DatagramFaults::anySourceAccepted()
{
    QFETCH(QString, sourceAddress);
    QFETCH(bool, bindFirst);

    QUdpSocket* sender = newSender();
    if (bindFirst)
        QVERIFY2(sender->bind(QHostAddress(sourceAddress), 0), qPrintable(sender->errorString()));
    const QString issuer = QStringLiteral("source-%1").arg(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(sendDatagram(*sender, rebootDatagram(issuer), m_daemon.port()));
    const QString sql = QStringLiteral("SELECT issuer FROM reboots WHERE issuer = '%1'").arg(issuer);
    QCOMPARE(firstColumn(waitForRows(m_daemon.dbPath(), sql, 1)), QStringList{issuer});
}

void tst_DatagramFaults::kernelDropsCountedExactly_data()
{
    QTest::addColumn<bool>("sendAfterPause");
    // Only the socket's own counter tells of these drops.
    QTest::newRow("nothing sent after the pause") << false;
    // The next datagram carries the count that the socket's counter has already told.
    QTest::newRow("one datagram after the pause") << true;
}

void tst_DatagramFaults::kernelDropsCountedExactly()
{
    QFETCH(bool, sendAfterPause);
    DaemonFixture fixture;
    const QString metricsFile = fixture.configureMetrics();
    QVERIFY(QDir().mkdir(QFileInfo(metricsFile).path()));
    // No -d: the drop report is written whatever the verbosity.
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath()}));
    QProcess& daemon = fixture.process();
    const QString dbPath = fixture.dbPath();
    const quint16 port = fixture.port();
    const QString countSql = QStringLiteral("SELECT count(*) FROM reboots");
    const auto storedRows = [&] { return queryRows(dbPath, countSql).value(0).value(0).toLongLong(); };

    // Paused, the daemon reads nothing: sending goes on until its buffer is full and the kernel
    // has dropped a thousand more, whatever size of buffer it granted.
    QVERIFY(signalProcess(daemon, SIGSTOP));
    QVERIFY(waitForProcessState(daemon.processId(), 'T'));
    QUdpSocket sender;
    const QByteArray datagram = rebootDatagram(QStringLiteral("d"));
    qint64 sent = 0;
    QDeadlineTimer sending(60000);
    while (receiveBufferDrops(port) < 1000 && sent < 3000000 && !sending.hasExpired()) {
        for (int i = 0; i < 1000; ++i, ++sent)
            QVERIFY(sendDatagram(sender, datagram, port));
    }
    const qint64 kernelDrops = receiveBufferDrops(port);
    QVERIFY2(kernelDrops >= 1000, qPrintable(QString::number(kernelDrops)));
    QVERIFY(signalProcess(daemon, SIGCONT));

    QByteArray err;
    if (sendAfterPause) {
        QTRY_COMPARE_WITH_TIMEOUT(storedRows(), sent - kernelDrops, 60000);
        QVERIFY(sendDatagram(sender, datagram, port));
        ++sent;
    }
    QVERIFY2(waitForStderrLine(daemon, err, "datagrams since the last report"), err.constData());
    const QRegularExpression report(QStringLiteral(
        "^Warning: \"The kernel dropped (\\d+) datagrams since the last report: the receive buffer of [1-9]\\d* "
        "bytes was full.\"$"));
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    const QRegularExpressionMatch match = report.match(lines.first());
    QVERIFY2(match.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(match.captured(1).toLongLong(), kernelDrops);
    QTRY_COMPARE_WITH_TIMEOUT(storedRows(), sent - kernelDrops, 60000);

    // The metrics file holds what the counters line says at the same moment, under the metric names.
    const QList<QPair<QString, QString>> names = {
        {QStringLiteral("datagrams received"), QStringLiteral("tevriksystemlog_datagrams_received_total")},
        {QStringLiteral("undecodable"), QStringLiteral("tevriksystemlog_datagrams_undecodable_total")},
        {QStringLiteral("events stored"), QStringLiteral("tevriksystemlog_events_stored_total")},
        {QStringLiteral("rows stored"), QStringLiteral("tevriksystemlog_rows_stored_total")},
        {QStringLiteral("rows failed"), QStringLiteral("tevriksystemlog_rows_failed_total")},
        {QStringLiteral("rows held"), QStringLiteral("tevriksystemlog_rows_held")},
        {QStringLiteral("rows lost"), QStringLiteral("tevriksystemlog_rows_lost_total")},
        {QStringLiteral("kernel drops"), QStringLiteral("tevriksystemlog_kernel_dropped_datagrams_total")},
        {QStringLiteral("rows pruned"), QStringLiteral("tevriksystemlog_rows_pruned_total")}};
    const auto compareCounters = [&](const QByteArray& prefix) {
        const int at = err.lastIndexOf(prefix);
        QVERIFY2(at >= 0, err.constData());
        const QString line = QString::fromUtf8(err.mid(at + prefix.size(), err.indexOf('\n', at) - at - prefix.size()));
        const QMap<QString, ParsedSample> samples = parseMetricsFile(metricsFile);
        QCOMPARE(samples.size(), names.size());
        static const QRegularExpression pair(QStringLiteral("([a-z ]+) (\\d+)(, |\"$)"));
        QRegularExpressionMatchIterator pairs = pair.globalMatch(line);
        for (const auto& name : names) {
            QVERIFY2(pairs.hasNext(), qPrintable(line));
            const QRegularExpressionMatch counter = pairs.next();
            QCOMPARE(counter.captured(1), name.first);
            QCOMPARE(samples.value(name.second).value, counter.captured(2).toDouble());
            QCOMPARE(samples.value(name.second).type,
                     name.second.endsWith(QLatin1String("_total")) ? QStringLiteral("counter") : QStringLiteral("gauge"));
        }
        QCOMPARE(samples.value(QStringLiteral("tevriksystemlog_kernel_dropped_datagrams_total")).value,
                 double(kernelDrops));
    };
    QVERIFY(signalProcess(daemon, SIGUSR1));
    QVERIFY2(waitForStderrLine(daemon, err, "Counters: "), err.constData());
    compareCounters("Info: \"Counters: ");

    daemon.terminate();
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitCode(), 0);
    err += daemon.readAllStandardError();
    QCOMPARE(err.count("Warning:"), 1);
    QCOMPARE(storedRows() + kernelDrops, sent);
    // Written once more at the stop, with every stored row.
    QCOMPARE(parseMetricsFile(metricsFile).value(QStringLiteral("tevriksystemlog_events_stored_total")).value,
             double(storedRows()));
}

void tst_DatagramFaults::daemonNeverAnswers()
{
    // Once the daemon has ended, anything it had sent would be waiting in the senders' sockets.
    QVERIFY(m_daemon.stop());
    QCOMPARE(m_daemon.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_daemon.process().exitCode(), 0);
    QVERIFY(!m_senders.empty());
    for (const auto& sender : m_senders) {
        QVERIFY(!sender->hasPendingDatagrams());
        QCOMPARE(sender->bytesAvailable(), qint64(0));
    }
}

QTEST_GUILESS_MAIN(tst_DatagramFaults)
#include "tst_datagramfaults.moc"
