// The TIME forms of --since and --until, in a zone with summer time, from a fixed "now".
#include "timeparser.h"

#include <QtTest>

#include <ctime>

namespace {

// 2026-03-29 14:30:15.250 in Berlin, the day on which summer time starts (a day of 23 hours).
constexpr qint64 now = 1774787415250;
constexpr qint64 noTime = -1;
constexpr qint64 skipped = -2;

} // namespace

class tst_TimeParser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parses_data();
    void parses();
    void parsesIntervals();
};

void tst_TimeParser::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void tst_TimeParser::parses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("utc");
    QTest::addColumn<qint64>("expected");

    QTest::newRow("date is local midnight") << "2026-03-29" << false << qint64(1774738800000);
    QTest::newRow("date in UTC") << "2026-03-29" << true << qint64(1774742400000);
    QTest::newRow("hours and minutes after the clock change") << "2026-03-29 03:30" << false << qint64(1774747800000);
    QTest::newRow("seconds in summer time") << "2026-10-25 12:00:05" << false << qint64(1792926005000);
    QTest::newRow("milliseconds") << "2026-12-31 23:59:59.999" << false << qint64(1798757999999);
    QTest::newRow("T separator") << "2026-03-30T10:00" << false << qint64(1774857600000);
    QTest::newRow("a fraction of two digits") << "2026-03-30T10:00:00.12" << false << qint64(1774857600120);
    QTest::newRow("digits past the millisecond dropped") << "2026-03-30 10:00:00.1209" << false
                                                        << qint64(1774857600120);
    QTest::newRow("Z is UTC whatever the zone") << "2026-03-29T12:00:00Z" << false << qint64(1774785600000);
    QTest::newRow("offset east, with a space") << "2026-03-29 12:00:00+05:30" << false << qint64(1774765800000);
    QTest::newRow("offset west") << "2026-03-29T12:00:00.000-03:00" << true << qint64(1774796400000);
    QTest::newRow("skipped hour is refused") << "2026-03-29 02:30" << false << skipped;
    QTest::newRow("skipped hour exists in UTC") << "2026-03-29 02:30" << true << qint64(1774751400000);
    QTest::newRow("skipped hour with its offset") << "2026-03-29 02:30+00:00" << false << qint64(1774751400000);
    QTest::newRow("repeated hour at its first instant") << "2026-10-25 02:30" << false << qint64(1792888200000);
    QTest::newRow("now") << "now" << false << now;
    QTest::newRow("today is midnight, not 24 hours back") << "today" << false << qint64(1774738800000);
    QTest::newRow("yesterday is the midnight before") << "yesterday" << false << qint64(1774652400000);
    QTest::newRow("tomorrow after a day of 23 hours") << "tomorrow" << false << qint64(1774821600000);
    QTest::newRow("today in UTC") << "today" << true << qint64(1774742400000);
    QTest::newRow("seconds back") << "-30s" << false << now - 30 * 1000;
    QTest::newRow("minutes ahead") << "+15min" << false << now + 15 * 60 * 1000;
    QTest::newRow("hours back") << "-2h" << false << now - 2 * 3600 * 1000;
    QTest::newRow("days back are 24 hours each") << "-7d" << false << now - qint64(7) * 86400 * 1000;
    QTest::newRow("weeks ahead") << "+2w" << false << now + qint64(14) * 86400 * 1000;
    QTest::newRow("zero back") << "-0s" << false << now;
    QTest::newRow("epoch seconds") << "@1700000000" << false << qint64(1700000000000);
    QTest::newRow("epoch seconds with a fraction") << "@1700000000.123456789" << false << qint64(1700000000123);
    QTest::newRow("epoch zero") << "@0" << false << qint64(0);
    QTest::newRow("milliseconds as json prints them") << "1700000000123" << false << qint64(1700000000123);

    QTest::newRow("no such day") << "2026-02-29" << false << noTime;
    QTest::newRow("no such hour") << "2026-03-30 24:00" << false << noTime;
    QTest::newRow("no such minute") << "2026-03-30 10:60" << false << noTime;
    QTest::newRow("no such offset") << "2026-03-30 10:00+24:00" << false << noTime;
    QTest::newRow("offset without minutes") << "2026-03-30 10:00+02" << false << noTime;
    QTest::newRow("zone on a date") << "2026-03-30Z" << false << noTime;
    QTest::newRow("one-digit month") << "2026-3-30" << false << noTime;
    QTest::newRow("hour without minutes") << "2026-03-30 10" << false << noTime;
    QTest::newRow("fraction without seconds") << "2026-03-30 10:00.123" << false << noTime;
    QTest::newRow("trailing blank") << "2026-03-30 " << false << noTime;
    QTest::newRow("unknown unit") << "-5m" << false << noTime;
    QTest::newRow("relative without number") << "-h" << false << noTime;
    QTest::newRow("relative beyond the range") << "-9223372036854775807d" << false << noTime;
    QTest::newRow("negative epoch") << "@-5" << false << noTime;
    QTest::newRow("epoch seconds beyond the range") << "@9223372036854775" << false << noTime;
    QTest::newRow("milliseconds beyond the range") << "9223372036854775808" << false << noTime;
    QTest::newRow("fraction without digits") << "@5." << false << noTime;
    QTest::newRow("capitalised word") << "Today" << false << noTime;
    QTest::newRow("empty") << "" << false << noTime;
}

void tst_TimeParser::parses()
{
    QFETCH(QString, text);
    QFETCH(bool, utc);
    QFETCH(qint64, expected);
    TimeError error = TimeError::None;
    const std::optional<qint64> parsed = parseTime(text, now, utc, &error);
    if (expected < 0) {
        QVERIFY2(!parsed, qPrintable(QString::number(parsed.value_or(0))));
        QCOMPARE(error, expected == skipped ? TimeError::SkippedLocalTime : TimeError::NoTime);
    } else {
        QCOMPARE(parsed.value_or(noTime), expected);
        QCOMPARE(error, TimeError::None);
    }
}

void tst_TimeParser::parsesIntervals()
{
    QCOMPARE(parseInterval("1min").value_or(0), qint64(60000));
    QCOMPARE(parseInterval("3h").value_or(0), qint64(3 * 3600000));
    QCOMPARE(parseInterval("1w").value_or(0), qint64(7 * 86400000));
    for (const char* invalid : {"0h", "-1h", "+1h", "h", "1m", "1.5h", ""})
        QVERIFY2(!parseInterval(invalid), invalid);
}

QTEST_GUILESS_MAIN(tst_TimeParser)
#include "tst_timeparser.moc"
