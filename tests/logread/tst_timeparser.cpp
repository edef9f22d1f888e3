// The TIME forms of --since and --until, in a zone with summer time, from a fixed "now".
#include "timeparser.h"

#include <QtTest>

#include <ctime>

namespace {

// 2026-03-29 14:30:15.250 in Berlin, the day on which summer time starts (a day of 23 hours).
constexpr qint64 now = 1774787415250;
constexpr qint64 noTime = -1;

} // namespace

class tst_TimeParser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parses_data();
    void parses();
};

void tst_TimeParser::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void tst_TimeParser::parses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("date is local midnight") << "2026-03-29" << qint64(1774738800000);
    QTest::newRow("hours and minutes after the clock change") << "2026-03-29 03:30" << qint64(1774747800000);
    QTest::newRow("seconds in summer time") << "2026-10-25 12:00:05" << qint64(1792926005000);
    QTest::newRow("milliseconds") << "2026-12-31 23:59:59.999" << qint64(1798757999999);
    QTest::newRow("now") << "now" << now;
    QTest::newRow("today is midnight, not 24 hours back") << "today" << qint64(1774738800000);
    QTest::newRow("yesterday is the midnight before") << "yesterday" << qint64(1774652400000);
    QTest::newRow("seconds back") << "-30s" << now - 30 * 1000;
    QTest::newRow("minutes back") << "-15min" << now - 15 * 60 * 1000;
    QTest::newRow("hours back") << "-2h" << now - 2 * 3600 * 1000;
    QTest::newRow("days back are 24 hours each") << "-7d" << now - qint64(7) * 86400 * 1000;
    QTest::newRow("zero back") << "-0s" << now;
    QTest::newRow("epoch milliseconds") << "@1700000000123" << qint64(1700000000123);
    QTest::newRow("epoch zero") << "@0" << qint64(0);

    QTest::newRow("no such day") << "2026-02-29" << noTime;
    QTest::newRow("no such hour") << "2026-03-30 24:00" << noTime;
    QTest::newRow("no such minute") << "2026-03-30 10:60" << noTime;
    QTest::newRow("one-digit month") << "2026-3-30" << noTime;
    QTest::newRow("hour without minutes") << "2026-03-30 10" << noTime;
    QTest::newRow("milliseconds without seconds") << "2026-03-30 10:00.123" << noTime;
    QTest::newRow("two digits of milliseconds") << "2026-03-30 10:00:00.12" << noTime;
    QTest::newRow("ISO T separator") << "2026-03-30T10:00" << noTime;
    QTest::newRow("trailing blank") << "2026-03-30 " << noTime;
    QTest::newRow("unknown unit") << "-5m" << noTime;
    QTest::newRow("forward in time") << "+5min" << noTime;
    QTest::newRow("relative without number") << "-h" << noTime;
    QTest::newRow("relative beyond the range") << "-9223372036854775807d" << noTime;
    QTest::newRow("negative epoch") << "@-5" << noTime;
    QTest::newRow("epoch beyond the range") << "@9223372036854775808" << noTime;
    QTest::newRow("capitalised word") << "Today" << noTime;
    QTest::newRow("empty") << "" << noTime;
}

void tst_TimeParser::parses()
{
    QFETCH(QString, text);
    QFETCH(qint64, expected);
    const std::optional<qint64> parsed = parseTime(text, now);
    if (expected == noTime)
        QVERIFY2(!parsed, qPrintable(QString::number(parsed.value_or(0))));
    else
        QCOMPARE(parsed.value_or(noTime), expected);
}

QTEST_GUILESS_MAIN(tst_TimeParser)
#include "tst_timeparser.moc"
