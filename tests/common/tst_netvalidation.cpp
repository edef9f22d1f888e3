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

QTEST_APPLESS_MAIN(tst_NetValidation)
#include "tst_netvalidation.moc"
