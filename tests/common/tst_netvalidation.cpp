#include "mastertransport.h"
#include "netvalidation.h"

#include <QtTest>

class tst_NetValidation : public QObject
{
    Q_OBJECT

private slots:
    void parsePortNumber_data();
    void parsePortNumber();
    void isNumericAddress_data();
    void isNumericAddress();
    void insecureTransportWarning_data();
    void insecureTransportWarning();
};

void tst_NetValidation::parsePortNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("port");

    QTest::newRow("zero") << "0" << false << 0;
    QTest::newRow("lowest") << "1" << true << 1;
    QTest::newRow("highest") << "65535" << true << 65535;
    QTest::newRow("one past the highest") << "65536" << false << 0;
    QTest::newRow("far too large") << "4294967297" << false << 0;
    QTest::newRow("negative") << "-1" << false << 0;
    QTest::newRow("plus sign") << "+80" << false << 0;
    QTest::newRow("leading blank") << " 80" << false << 0;
    QTest::newRow("trailing letters") << "80x" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("leading zeros") << "007" << true << 7;
    QTest::newRow("hexadecimal") << "0x50" << false << 0;
}

void tst_NetValidation::parsePortNumber()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, port);

    quint16 parsed = 4242;
    QCOMPARE(::parsePortNumber(text, &parsed), valid);
    QCOMPARE(int(parsed), valid ? port : 4242);
}

void tst_NetValidation::isNumericAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("numeric");

    QTest::newRow("IPv4 loopback") << "127.0.0.1" << true;
    QTest::newRow("IPv6 loopback") << "::1" << true;
    QTest::newRow("IPv4 in IPv6") << "::ffff:127.0.0.1" << true;
    QTest::newRow("three-part IPv4 shorthand") << "1.2.3" << true;
    QTest::newRow("host name") << "localhost" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("octet out of range") << "127.0.0.256" << false;
}

void tst_NetValidation::isNumericAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, numeric);

    QCOMPARE(::isNumericAddress(text), numeric);
}

void tst_NetValidation::insecureTransportWarning_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("sslMode");
    QTest::addColumn<bool>("warns");
    QTest::newRow("Unix socket") << "/run/postgresql" << "" << "disable" << false;
    QTest::newRow("abstract Unix socket") << "@pg" << "" << "prefer" << false;
    QTest::newRow("IPv4 loopback") << "127.0.0.1" << "127.0.0.1" << "disable" << false;
    QTest::newRow("IPv6 loopback") << "::1" << "::1" << "require" << false;
    QTest::newRow("localhost resolved") << "localhost" << "127.0.0.1" << "prefer" << false;
    QTest::newRow("name of a loopback address") << "db.example.com" << "127.0.0.2" << "prefer" << false;
    QTest::newRow("network, default mode") << "db.example.com" << "192.0.2.7" << "" << true;
    QTest::newRow("network, require") << "192.0.2.7" << "192.0.2.7" << "require" << true;
    QTest::newRow("network, allow") << "2001:db8::7" << "2001:db8::7" << "allow" << true;
    QTest::newRow("network, verify-ca") << "db.example.com" << "192.0.2.7" << "verify-ca" << false;
    QTest::newRow("network, verify-full") << "db.example.com" << "192.0.2.7" << "verify-full" << false;
}

void tst_NetValidation::insecureTransportWarning()
{
    QFETCH(QString, host);
    QFETCH(QString, address);
    QFETCH(QString, sslMode);
    QFETCH(bool, warns);
    const QString warning = ::insecureTransportWarning(host, address, sslMode, QStringLiteral("database m on h"));
    if (warns)
        QCOMPARE(warning, QStringLiteral("The master database m on h is reached over the network with sslmode=%1, "
                                         "which does not verify the server: set sslmode=verify-full and sslrootcert "
                                         "in the connection string")
                              .arg(sslMode.isEmpty() ? QStringLiteral("prefer") : sslMode));
    else
        QCOMPARE(warning, QString());
}

QTEST_APPLESS_MAIN(tst_NetValidation)
#include "tst_netvalidation.moc"
