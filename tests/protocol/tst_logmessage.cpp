#include "comparelines.h"
#include "logmessage.pb.h"

#include <google/protobuf/text_format.h>

#include <QtTest>

class tst_LogMessage : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void rejects_data();
    void rejects();
};

namespace {

QStringList debugLines(const LogEvent& event)
{
    return QString::fromStdString(event.DebugString()).split('\n');
}

} // namespace

void tst_LogMessage::encode_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<QByteArray>("encoding");

    QTest::newRow("reboot") << R"(reboot { timestamp: 1 issuer: "abc" })" << QByteArray::fromHex("1a0708011203616263");
    QTest::newRow("generic with two zero bytes")
        << R"(generic { timestamp: 1 recordNumber: 0 key: "abc" value: "" })"
        << QByteArray::fromHex("420b080110001a036162632200");
    QTest::newRow("no payload") << QString() << QByteArray();
}

void tst_LogMessage::encode()
{
    QFETCH(QString, event);
    QFETCH(QByteArray, encoding);

    LogEvent message;
    QVERIFY(google::protobuf::TextFormat::ParseFromString(event.toStdString(), &message));
    QCOMPARE(QByteArray::fromStdString(message.SerializeAsString()), encoding);

    LogEvent decoded;
    QVERIFY(decoded.ParseFromArray(encoding.constData(), encoding.size()));
    COMPARE_LINES(debugLines(decoded), debugLines(message));
}

void tst_LogMessage::decode_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two payloads of different kinds")
        << QByteArray::fromHex("1a0708011203616263" "3a050802120178")
        << "reboot {\n  timestamp: 1\n  issuer: \"abc\"\n}\nsystemload {\n  timestamp: 2\n  sysload: \"x\"\n}\n";
    QTest::newRow("machine config with only its timestamp")
        << QByteArray::fromHex("0a020805") << "machine {\n  timestamp: 5\n}\n";
    QTest::newRow("unknown field in the envelope")
        << QByteArray::fromHex("1a0708011203616263" "7805")
        << "reboot {\n  timestamp: 1\n  issuer: \"abc\"\n}\n15: 5\n";
    QTest::newRow("unknown field in a payload")
        << QByteArray::fromHex("1a09080112036162634801")
        << "reboot {\n  timestamp: 1\n  issuer: \"abc\"\n  9: 1\n}\n";
    QTest::newRow("payload twice is merged")
        << QByteArray::fromHex("1a0708011203616263" "1a051203787978")
        << "reboot {\n  timestamp: 1\n  issuer: \"xyx\"\n}\n";
}

void tst_LogMessage::decode()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QString, expected);

    LogEvent event;
    QVERIFY(event.ParseFromArray(encoding.constData(), encoding.size()));
    COMPARE_LINES(debugLines(event), expected.split('\n'));
}

void tst_LogMessage::rejects_data()
{
    QTest::addColumn<QByteArray>("encoding");

    QTest::newRow("core dump without taskname beside a complete reboot")
        << QByteArray::fromHex("1a0708011203616263" "12020801");
    QTest::newRow("reboot without timestamp") << QByteArray::fromHex("1a051203616263");
    QTest::newRow("generic without record number") << QByteArray::fromHex("420908011a036162632200");
    QTest::newRow("truncated payload") << QByteArray::fromHex("1a07080112036162");
    QTest::newRow("not an encoding") << QByteArray("\xff\xff\xff", 3);
}

void tst_LogMessage::rejects()
{
    QFETCH(QByteArray, encoding);

    LogEvent event;
    QVERIFY(!event.ParseFromArray(encoding.constData(), encoding.size()));
}

QTEST_APPLESS_MAIN(tst_LogMessage)
#include "tst_logmessage.moc"
