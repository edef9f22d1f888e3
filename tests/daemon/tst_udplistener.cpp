#include "configsettings.h"
#include "daemoncounters.h"
#include "messagerecorder.h"
#include "processrunner.h"
#include "programmessagehandler.h"
#include "udplistener.h"

#include <QtTest>

#include <memory>

class tst_UDPListener : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bindsToConfiguredAddressAndPort();
    void reportsFailedBind();
    void rebindsOncePerSetterCall_data();
    void rebindsOncePerSetterCall();
    void processTheDatagram_data();
    void processTheDatagram();
    void deliversEveryDatagramInOrder_data();
    void deliversEveryDatagramInOrder();
    void dropCounterCountsEachDropOnce_data();
    void dropCounterCountsEachDropOnce();
};

namespace {

const QByteArray reboot = QByteArray::fromHex("1a0708011203616263");
const QByteArray generic = QByteArray::fromHex("420b080110001a036162632200");
const QByteArray dumpWithoutTaskname = QByteArray::fromHex("12020801");
const QByteArray notAnEncoding("\xff\xff\xff", 3);

std::unique_ptr<UDPListener> boundListener()
{
    QTest::ignoreMessage(QtDebugMsg, "\"Bind to udp socket succeeded: true\"");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^\"Receive buffer: [1-9][0-9]* bytes\"$")));
    return std::make_unique<UDPListener>(*ConfigSettings::getInstance(), nullptr);
}

// The events are gone once the emission returns, so keep their encodings.
void collectEvents(UDPListener* listener, QList<QByteArray>* events)
{
    QObject::connect(listener, &UDPListener::newLogEvent, listener, [events](LogEvent* event) {
        events->append(QByteArray::fromStdString(event->SerializeAsString()));
    });
}

} // namespace

void tst_UDPListener::initTestCase()
{
    // The listener builds its debug lines only at the verbosity that shows them.
    debugLevel = 3;
    qRegisterMetaType<QAbstractSocket::SocketState>();
}

void tst_UDPListener::init()
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setAddress(QHostAddress(QHostAddress::LocalHost));
    // Port 0 lets the kernel pick a free port at every bind.
    settings->setPort(0);
}

void tst_UDPListener::bindsToConfiguredAddressAndPort()
{
    const quint16 port = freeUdpPort();
    QVERIFY(port != 0);
    ConfigSettings::getInstance()->setPort(port);

    const auto listener = boundListener();
    QCOMPARE(listener->state(), QAbstractSocket::BoundState);
    QCOMPARE(listener->localAddress(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(listener->localPort(), port);
}

void tst_UDPListener::reportsFailedBind()
{
    QUdpSocket occupant;
    QVERIFY(occupant.bind(QHostAddress(QHostAddress::LocalHost), 0, QAbstractSocket::DontShareAddress));
    ConfigSettings::getInstance()->setPort(occupant.localPort());

    QTest::ignoreMessage(QtDebugMsg, "\"Bind to udp socket succeeded: false\"");
    UDPListener listener(*ConfigSettings::getInstance(), nullptr);
    QCOMPARE(listener.state(), QAbstractSocket::UnconnectedState);
}

void tst_UDPListener::rebindsOncePerSetterCall_data()
{
    QTest::addColumn<QStringList>("setters");
    QTest::addColumn<int>("rebinds");

    QTest::newRow("same port") << QStringList{"port"} << 1;
    QTest::newRow("new port") << QStringList{"new port"} << 1;
    QTest::newRow("same address") << QStringList{"address"} << 1;
    QTest::newRow("same address as text") << QStringList{"address text"} << 1;
    QTest::newRow("address, then port") << QStringList{"address", "port"} << 2;
    QTest::newRow("database path") << QStringList{"dbpath"} << 0;
}

void tst_UDPListener::rebindsOncePerSetterCall()
{
    QFETCH(QStringList, setters);
    QFETCH(int, rebinds);

    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setPort(freeUdpPort());
    const auto listener = boundListener();
    QSignalSpy states(listener.get(), &QAbstractSocket::stateChanged);

    for (const QString& setter : setters) {
        if (setter == QLatin1String("port"))
            settings->setPort(settings->getPort());
        else if (setter == QLatin1String("new port"))
            settings->setPort(freeUdpPort());
        else if (setter == QLatin1String("address"))
            settings->setAddress(settings->getAddress());
        else if (setter == QLatin1String("address text"))
            settings->setAddress(QStringLiteral("127.0.0.1"));
        else
            settings->setDBPath(settings->getDBPath());
    }

    int binds = 0;
    for (const QList<QVariant>& arguments : qAsConst(states)) {
        if (arguments.at(0).value<QAbstractSocket::SocketState>() == QAbstractSocket::BoundState)
            ++binds;
    }
    QCOMPARE(binds, rebinds);
    QCOMPARE(listener->state(), QAbstractSocket::BoundState);
    QCOMPARE(listener->localPort(), settings->getPort());
}

void tst_UDPListener::processTheDatagram_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("reboot") << reboot << true;
    QTest::newRow("empty datagram is an event without payload") << QByteArray() << true;
    QTest::newRow("payload lacking a required field") << dumpWithoutTaskname << false;
    QTest::newRow("not an encoding") << notAnEncoding << false;
}

void tst_UDPListener::processTheDatagram()
{
    QFETCH(QByteArray, datagram);
    QFETCH(bool, decodes);

    const auto listener = boundListener();
    QList<QByteArray> events;
    collectEvents(listener.get(), &events);

    if (!decodes)
        QTest::ignoreMessage(QtDebugMsg, "\"Parsing datagram failed!\"");
    listener->processTheDatagram(datagram);
    QCOMPARE(events, decodes ? QList<QByteArray>{datagram} : QList<QByteArray>());
}

void tst_UDPListener::deliversEveryDatagramInOrder_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("largeAt");
    // The datagrams are sent in this many waves, each once the one before was read in full.
    QTest::addColumn<int>("waves");
    // Without it the event loop's thread reads the socket, as after a stop.
    QTest::addColumn<bool>("receiveThread");

    for (const bool thread : {false, true}) {
        const char* const reader = thread ? "receive thread: " : "event loop: ";
        QTest::addRow("%sa few", reader) << 5 << -1 << 1 << thread;
        QTest::addRow("%smore than one batch", reader) << 200 << -1 << 1 << thread;
        QTest::addRow("%smore than one notification reads", reader) << 1500 << -1 << 1 << thread;
        QTest::addRow("%sa 60 KB datagram inside a batch", reader) << 100 << 70 << 1 << thread;
        QTest::addRow("%sa 60 KB datagram first", reader) << 3 << 0 << 1 << thread;
        QTest::addRow("%sone at a time, the socket empty in between", reader) << 4 << -1 << 4 << thread;
        QTest::addRow("%swaves of several batches", reader) << 900 << 450 << 3 << thread;
    }
    // More than the receive thread's queue holds: it waits for room while the kernel's buffer keeps the rest.
    QTest::addRow("receive thread: more than its queue holds") << 300 << -2 << 1 << true;
}

void tst_UDPListener::deliversEveryDatagramInOrder()
{
    QFETCH(int, count);
    QFETCH(int, largeAt);
    QFETCH(int, waves);
    QFETCH(bool, receiveThread);

    const auto listener = boundListener();
    if (!receiveThread)
        listener->stopReceiving();
    QList<QByteArray> events;
    collectEvents(listener.get(), &events);

    QList<QByteArray> datagrams;
    for (int i = 0; i < count; ++i) {
        LogEvent event;
        event.mutable_generic()->set_timestamp(1);
        event.mutable_generic()->set_recordnumber(quint64(i));
        event.mutable_generic()->set_key("k");
        // largeAt -2: every datagram is large.
        const bool large = i == largeAt || largeAt == -2;
        event.mutable_generic()->set_value(large ? std::string(60 * 1024, 'v') : "v");
        datagrams << QByteArray::fromStdString(event.SerializeAsString());
    }
    // Undecodable datagrams among them are counted and skipped.
    const int undecodable = (count + 49) / 50;

    const DaemonCounters before = daemonCounters();
    MessageRecorder recorder;
    QUdpSocket sender;
    const int perWave = count / waves;
    for (int i = 0; i < count; ++i) {
        if (i % 50 == 0)
            QCOMPARE(sender.writeDatagram(notAnEncoding, QHostAddress::LocalHost, listener->localPort()),
                     qint64(notAnEncoding.size()));
        QCOMPARE(sender.writeDatagram(datagrams.at(i), QHostAddress::LocalHost, listener->localPort()),
                 qint64(datagrams.at(i).size()));
        if ((i + 1) % perWave == 0)
            QTRY_COMPARE_WITH_TIMEOUT(events.size(), i + 1, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), datagrams.size(), 10000);
    QCOMPARE(events, datagrams);
    QCOMPARE(daemonCounters().datagramsReceived - before.datagramsReceived, quint64(count + undecodable));
    QCOMPARE(daemonCounters().undecodable - before.undecodable, quint64(undecodable));
    QCOMPARE(daemonCounters().kernelDrops, before.kernelDrops);
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.count(QStringLiteral("Debug: \"Read new datagram.\"")), count + undecodable);
    QCOMPARE(lines.count(QStringLiteral("Debug: \"Parsing datagram failed!\"")), undecodable);
}

void tst_UDPListener::dropCounterCountsEachDropOnce_data()
{
    // The kernel's readings in the order the listener takes them; -1 is a rebind, a new socket.
    QTest::addColumn<QList<qint64>>("readings");
    QTest::addColumn<quint64>("drops");
    QTest::newRow("none") << QList<qint64>{0, 0} << quint64(0);
    QTest::newRow("the same reading twice") << QList<qint64>{5, 5} << quint64(5);
    QTest::newRow("an older reading after a newer one")
        << QList<qint64>{10, 7, 10, 12} << quint64(12);
    // Readings come at least once a second, so consecutive ones lie less than 2^31 drops apart.
    QTest::newRow("across the 32-bit wrap")
        << QList<qint64>{0x70000000, 0xe0000000, 0xfffffff0, 0x10} << quint64(0x100000010);
    QTest::newRow("an older reading across the wrap")
        << QList<qint64>{0x70000000, 0xe0000000, 0xfffffff0, 0x5, 0xfffffffa, 0x8} << quint64(0x100000008);
    QTest::newRow("a rebind starts from zero") << QList<qint64>{100, -1, 3, 3} << quint64(103);
}

void tst_UDPListener::dropCounterCountsEachDropOnce()
{
    QFETCH(QList<qint64>, readings);
    QFETCH(quint64, drops);
    DropCounter counter;
    quint64 total = 0;
    for (const qint64 reading : readings) {
        if (reading < 0)
            counter.reset();
        else
            total += counter.update(quint32(reading));
    }
    QCOMPARE(total, drops);
}

QTEST_GUILESS_MAIN(tst_UDPListener)
#include "tst_udplistener.moc"
