// The reader's selection, order, filters, formats and follow polls on a store written by the daemon's own code.
#include "comparelines.h"
#include "configsettings.h"
#include "eventformatter.h"
#include "databasewrapper.h"
#include "eventmodel.h"
#include "eventreader.h"
#include "eventtables.h"
#include "logreader.h"
#include "processrunner.h"
#include "readeroptions.h"
#include "sqlitestore.h"

#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

namespace {

// 2026-01-15 10:00:00.000 in Berlin (UTC+01:00); the summer row is 2026-07-01 14:00:00.000 (UTC+02:00).
constexpr qint64 base = 1768467600000;
constexpr qint64 summer = 1782907200000;

// Stores one event of the type through the daemon's store, its values filled as the sender fills them.
void storeRow(DataBaseWrapper& store, const QString& type, qint64 time, const QStringList& values)
{
    const EventKind* kind = eventKindOfType(type.toStdString());
    QVERIFY(kind);
    std::array<std::string, maxEventColumns> texts;
    EventValues fields;
    fields.time = static_cast<quint64>(time);
    for (int c = 0; c < kind->columnCount; ++c) {
        const auto column = std::size_t(c);
        if (kind->columns[column].storage == Storage::Integer) {
            fields.numbers[column] = values.value(c).toULongLong();
        } else {
            texts[column] = values.value(c).toStdString();
            fields.texts[column] = texts[column];
        }
    }
    LogEvent event;
    kind->fill(event, fields);
    store.newLogEvent(&event);
}

const QStringList allRows = {
    "2026-01-15 10:00:00.500 generic recordNumber=18446744073709551615 key=k value=\"a\\tb\\nc\"",
    "2026-01-15 10:00:01.000 coredump taskname=init",
    "2026-01-15 10:00:01.000 reboot issuer=admin",
    "2026-01-15 10:00:01.000 joinlayer taskName=init",
    "2026-01-15 10:00:02.000 watchdog triggeredBy=\"esc\\e[2Jx\\u009b\"",
    "2026-01-15 10:00:02.000 reboot issuer=Operator",
    "2026-01-15 10:00:03.000 specfile taskname=init specfile=x.spec",
    "2026-01-15 10:00:04.000 sysload sysload=0.5",
    "2026-07-01 14:00:00.000 machineconfig hardwareconf=hw linuxver=6.1 rpmsinstalled=a,b tevrikversion=2.4 diskspace=9G",
};

QStringList rowsAt(std::initializer_list<int> indexes)
{
    QStringList rows;
    for (const int i : indexes)
        rows << allRows.at(i);
    return rows;
}

} // namespace

class tst_LogReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void selects_data();
    void selects();
    void printsStatistics();
    void readsAcrossPages_data();
    void readsAcrossPages();
    void writesOddTexts_data();
    void writesOddTexts();
    void followsCommitsInOrder();
    void impliesTextFilter_data();
    void impliesTextFilter();
    void readsConvertedAndNewDatabasesAlike_data();
    void readsConvertedAndNewDatabasesAlike();
    void summarisesAsSqlCounts_data();
    void summarisesAsSqlCounts();
    void takesPrintedTimesBack_data();
    void takesPrintedTimesBack();
    void quotesValues_data();
    void quotesValues();

private:
    // Runs the reader's request for a command line on the store, or on the database at dbPath; the output, or the
    // error message.
    QByteArray run(const QStringList& arguments, QString* error = nullptr, const QString& dbPath = QString());
    void storeSample();
    // Makes the three databases that readsConvertedAndNewDatabasesAlike() reads, once.
    void makeComparedDatabases();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_dbPath;
    std::unique_ptr<DataBaseWrapper> m_store;
    // The same rows as a new store wrote them, as an earlier version kept them, and as converted from that.
    QTemporaryDir m_compared;
    QStringList m_comparedPaths;
};

void tst_LogReader::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void tst_LogReader::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_dbPath = m_dir->filePath(QStringLiteral("systemlog.db"));
    ConfigSettings::getInstance()->setDBPath(m_dbPath);
    m_store = std::make_unique<DataBaseWrapper>(*ConfigSettings::getInstance(), nullptr);
    QVERIFY(m_store->isReady());
    storeSample();
}

void tst_LogReader::cleanup()
{
    m_store.reset();
    m_dir.reset();
}

// Arrival order: rowIDs grow per table in this order, times do not.
void tst_LogReader::storeSample()
{
    DataBaseWrapper& store = *m_store;
    storeRow(store, "generic", base + 500, {"18446744073709551615", "k", "a\tb\nc"});
    storeRow(store, "reboot", base + 1000, {"admin"});
    storeRow(store, "joinlayer", base + 1000, {"init"});
    storeRow(store, "coredump", base + 1000, {"init"});
    storeRow(store, "specfile", base + 3000, {"init", "x.spec"});
    storeRow(store, "reboot", base + 2000, {"Operator"});
    storeRow(store, "sysload", base + 4000, {"0.5"});
    storeRow(store, "machineconfig", summer, {"hw", "6.1", "a,b", "2.4", "9G"});
    storeRow(store, "watchdog", base + 2000, {"esc\x1b[2Jx\xc2\x9b"});
    store.commit();
}

QByteArray tst_LogReader::run(const QStringList& arguments, QString* error, const QString& dbPath)
{
    QList<QByteArray> words{"tevriklog", "-D", (dbPath.isEmpty() ? m_dbPath : dbPath).toUtf8()};
    for (const QString& argument : arguments)
        words << argument.toUtf8();
    QVector<char*> argv;
    for (QByteArray& word : words)
        argv << word.data();
    ReaderOptions options(argv.size(), argv.data());
    options.parse();

    ReaderRequest request;
    QString message;
    const qint64 now = base + 10 * 1000;
    if (!makeRequest(options, now, request, message)) {
        if (error)
            *error = message;
        return QByteArray();
    }
    SqliteStore store;
    if (!store.open(request.dbPath)) {
        if (error)
            *error = store.errorString();
        return QByteArray();
    }
    std::FILE* out = std::tmpfile();
    const int status = runRequest(request, store, out);
    std::rewind(out);
    QByteArray text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, out)) > 0)
        text.append(buffer, static_cast<int>(got));
    std::fclose(out);
    if (status != 0 && error)
        *error = store.errorString();
    return text;
}

void tst_LogReader::selects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("one timeline, ties by rowID then table order") << QStringList() << allRows;
    QTest::newRow("last three, oldest first") << QStringList{"-n", "3"} << rowsAt({6, 7, 8});
    QTest::newRow("last three, newest first") << QStringList{"-n3", "-r"} << rowsAt({8, 7, 6});
    QTest::newRow("none of the last") << QStringList{"-n", "0"} << QStringList();
    QTest::newRow("reverse keeps the ties reversed") << QStringList{"-r", "-U", "1768467601000"}
                                                     << rowsAt({3, 2, 1, 0});
    QTest::newRow("one type") << QStringList{"-t", "reboot"} << rowsAt({2, 5});
    QTest::newRow("two types") << QStringList{"-t", "reboot", "--type", "coredump"} << rowsAt({1, 2, 5});
    QTest::newRow("since a local time, inclusive") << QStringList{"-S", "2026-01-15 10:00:02"}
                                                   << rowsAt({4, 5, 6, 7, 8});
    QTest::newRow("until a local time, inclusive") << QStringList{"-U", "2026-01-15 10:00:01"} << rowsAt({0, 1, 2, 3});
    QTest::newRow("window in milliseconds") << QStringList{"-S", "2026-01-15 10:00:01.000", "-U", "1768467602999"}
                                            << rowsAt({1, 2, 3, 4, 5});
    QTest::newRow("relative to now") << QStringList{"-S", "-8s", "-U", "-7s"} << rowsAt({4, 5, 6});
    QTest::newRow("date in the summer") << QStringList{"-S", "2026-07-01"} << rowsAt({8});
    QTest::newRow("match is exact and case-sensitive in the column name") << QStringList{"-M", "taskname=init"}
                                                                           << rowsAt({1, 6});
    QTest::newRow("match the other spelling") << QStringList{"-M", "taskName=init"} << rowsAt({3});
    QTest::newRow("same column twice: either") << QStringList{"-M", "issuer=admin", "-M", "issuer=Operator"}
                                               << rowsAt({2, 5});
    QTest::newRow("different columns: all") << QStringList{"-M", "taskname=init", "-M", "specfile=x.spec"}
                                            << rowsAt({6});
    QTest::newRow("match the unsigned record number") << QStringList{"-M", "recordNumber=18446744073709551615"}
                                                      << rowsAt({0});
    QTest::newRow("match a common column") << QStringList{"-M", "rowID=2"} << rowsAt({5});
    QTest::newRow("match needs the exact value") << QStringList{"-M", "issuer=admi"} << QStringList();
    QTest::newRow("grep without capitals ignores case") << QStringList{"-g", "operator"} << rowsAt({5});
    QTest::newRow("grep with capitals keeps case") << QStringList{"-g", "OPERATOR"} << QStringList();
    QTest::newRow("grep reads every text column") << QStringList{"-g", "^x\\.spec$"} << rowsAt({6});
    QTest::newRow("grep sees the stored control characters") << QStringList{"-g", "b\\nc"} << rowsAt({0});
    QTest::newRow("grep skips numbers") << QStringList{"-g", "1844"} << QStringList();
    QTest::newRow("grep, type and last") << QStringList{"-g", "init", "-t", "coredump", "-t", "specfile", "-n", "1"}
                                         << rowsAt({6});
    QTest::newRow("last match of a pattern below newer rows") << QStringList{"-t", "reboot", "-g", "admin", "-n", "1"}
                                                              << rowsAt({2});
    QTest::newRow("type, since and match") << QStringList{"-t", "reboot", "-S", "-9s", "-M", "issuer=Operator"}
                                           << rowsAt({5});
    QTest::newRow("nothing in the window") << QStringList{"-S", "2030-01-01"} << QStringList();
    QTest::newRow("iso times carry the offset of their date")
        << QStringList{"-o", "short-iso", "-t", "sysload", "-t", "machineconfig"}
        << QStringList{"2026-01-15T10:00:04.000+01:00 sysload sysload=0.5",
                       "2026-07-01T14:00:00.000+02:00 machineconfig hardwareconf=hw linuxver=6.1 rpmsinstalled=a,b "
                       "tevrikversion=2.4 diskspace=9G"};
    QTest::newRow("json") << QStringList{"-o", "json", "-t", "generic", "-t", "watchdog"}
                          << QStringList{"{\"time\":1768467600500,\"type\":\"generic\",\"rowID\":1,"
                                         "\"recordNumber\":18446744073709551615,\"key\":\"k\",\"value\":\"a\\tb\\nc\","
                                         "\"sentToMasterDB\":0}",
                                         "{\"time\":1768467602000,\"type\":\"watchdog\",\"rowID\":1,"
                                         "\"triggeredBy\":\"esc\\u001b[2Jx\\u009b\",\"sentToMasterDB\":0}"};
    QTest::newRow("csv quotes what needs it")
        << QStringList{"-o", "csv", "-t", "machineconfig", "-t", "specfile", "-t", "generic"}
        << QStringList{"time,type,rowID,hardwareconf,linuxver,rpmsinstalled,tevrikversion,diskspace,taskname,specfile,"
                       "recordNumber,key,value,sentToMasterDB\r",
                       "1768467600500,generic,1,,,,,,,,18446744073709551615,k,\"a\tb", "c\",0\r",
                       "1768467603000,specfile,1,,,,,,init,x.spec,,,,0\r",
                       "1782907200000,machineconfig,1,hw,6.1,\"a,b\",2.4,9G,,,,,,0\r"};
    QTest::newRow("csv without rows prints nothing") << QStringList{"-o", "csv", "-S", "2030-01-01"} << QStringList();
}

void tst_LogReader::selects()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QString error;
    const QByteArray out = run(arguments, &error);
    QCOMPARE(error, QString());
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    COMPARE_LINES(lines, expected);
}

void tst_LogReader::writesOddTexts_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QStringList>("expected");
    // The row holds a NUL, a byte that is no UTF-8, a newline, an escape and a C1 control.
    QTest::newRow("short escapes every control character")
        << "short"
        << QStringList{QString::fromUtf8("2026-01-15 10:00:09.000 reboot issuer=\"a\\x00b\xEF\xBF\xBD\\n\\e\\u009b\"")};
    QTest::newRow("json escapes them as JSON does")
        << "json"
        << QStringList{QString::fromUtf8("{\"time\":1768467609000,\"type\":\"reboot\",\"rowID\":3,"
                                         "\"issuer\":\"a\\u0000b\xEF\xBF\xBD\\n\\u001b\\u009b\",\"sentToMasterDB\":0}")};
    // Csv keeps the text but for what valid UTF-8 without NUL cannot carry, which becomes U+FFFD.
    QTest::newRow("csv is valid UTF-8 without NUL")
        << "csv"
        << QStringList{"time,type,rowID,issuer,sentToMasterDB\r",
                       QString::fromUtf8("1768467609000,reboot,3,\"a\xEF\xBF\xBD" "b\xEF\xBF\xBD"),
                       QString::fromUtf8("\x1b\xC2\x9B\",0\r")};
}

void tst_LogReader::writesOddTexts()
{
    QFETCH(QString, format);
    QFETCH(QStringList, expected);
    // Written as an older daemon stored it, byte for byte, past the time map's mark.
    QCOMPARE(execStatements(m_dbPath, {QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, "
                                                      "CAST(X'610062FF0A1BC29B' AS TEXT))")
                                           .arg(base + 9000)}),
             QString());
    const QByteArray out = run({"-o", format, "-M", "rowID=3", "-t", "reboot"});
    if (format == QLatin1String("csv"))
        QVERIFY(!out.contains('\0'));
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    COMPARE_LINES(lines, expected);
}

void tst_LogReader::printsStatistics()
{
    QCOMPARE(execStatements(m_dbPath, {QStringLiteral("UPDATE reboots SET sentToMasterDB = 1 WHERE issuer = 'admin'")}),
             QString());
    QStringList lines = QString::fromUtf8(run({"--stats", "-t", "reboot", "-t", "sysload", "-t", "coredump"}))
                            .split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QVERIFY2(lines.takeLast().startsWith(QLatin1String("Size on disk: ")), qPrintable(lines.join('\n')));
    // The ages count from the request's moment, 10:00:10; the reboot sent is not the oldest unsent one.
    COMPARE_LINES(lines, (QStringList{"TYPE      EVENTS  UNSENT  AGE  FIRST                    LAST",
                                      "coredump       1       1  9 s  2026-01-15 10:00:01.000  2026-01-15 10:00:01.000",
                                      "reboot         2       1  8 s  2026-01-15 10:00:01.000  2026-01-15 10:00:02.000",
                                      "sysload        1       1  6 s  2026-01-15 10:00:04.000  2026-01-15 10:00:04.000"}));

    lines = QString::fromUtf8(run({"--stats", "-t", "reboot", "-t", "watchdog", "-g", "admin"})).split('\n');
    COMPARE_LINES(lines.mid(0, 3), (QStringList{"TYPE      EVENTS  UNSENT  AGE  FIRST                    LAST",
                                                "reboot         1       0    -  2026-01-15 10:00:01.000  2026-01-15 10:00:01.000",
                                                "watchdog       0       0    -  -                        -"}));
}

void tst_LogReader::readsAcrossPages_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("last");
    QTest::addColumn<bool>("reverse");
    QTest::newRow("all, oldest first") << QStringList{} << -1 << false;
    QTest::newRow("all, newest first") << QStringList{"-r"} << -1 << true;
    QTest::newRow("the last 1500") << QStringList{"-n", "1500"} << 1500 << false;
    QTest::newRow("the last 1500, newest first") << QStringList{"-n", "1500", "-r"} << 1500 << true;
}

void tst_LogReader::readsAcrossPages()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, last);
    QFETCH(bool, reverse);
    // Several pages, with ties of time across their ends and times that do not grow with the rowIDs.
    const qint64 start = base + 100000;
    QVector<std::pair<qint64, int>> rows;
    for (int i = 0; i < 2500; ++i) {
        rows.append({start + (i * 37 % 500) * 1000, i});
        storeRow(*m_store, "reboot", rows.last().first, {QStringLiteral("p%1").arg(i)});
    }
    m_store->commit();
    std::sort(rows.begin(), rows.end());
    if (last >= 0)
        rows = rows.mid(rows.size() - last);
    if (reverse)
        std::reverse(rows.begin(), rows.end());
    QStringList expected;
    for (const auto& [time, i] : rows)
        expected << QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                        + QStringLiteral(" reboot issuer=p%1").arg(i);
    expected << QString();
    QString error;
    const QByteArray out = run(QStringList{"-t", "reboot", "-S", QString::number(start)} + arguments, &error);
    QCOMPARE(error, QString());
    COMPARE_LINES(QString::fromUtf8(out).split('\n'), expected);
}

void tst_LogReader::followsCommitsInOrder()
{
    Selection selection;
    selection.tables[static_cast<size_t>(tableOfType("sysload"))] = false;
    SqliteStore source;
    QVERIFY2(source.open(m_dbPath), qPrintable(source.errorString()));
    EventReader reader(source, selection);
    QStringList seen;
    EventFormatter formatter(EventFormatter::Format::Short, selection, false, false);
    const EventReader::Sink sink = [&](const EventRow& row) {
        QByteArray line;
        formatter.append(row, line);
        seen << QString::fromUtf8(line).trimmed();
        return true;
    };

    QVERIFY(reader.select(2, false, true, sink));
    COMPARE_LINES(seen, rowsAt({6, 8}));
    seen.clear();
    QVERIFY(reader.poll(sink));
    COMPARE_LINES(seen, QStringList());

    // Two transactions between polls, one of them after a checkpoint of the journal; old times too.
    storeRow(*m_store, "reboot", base, {"late"});
    storeRow(*m_store, "sysload", base + 9000, {"9"});
    storeRow(*m_store, "coredump", base + 5000, {"c2"});
    m_store->commit();
    QCOMPARE(queryRows(m_dbPath, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")).value(0).value(0).toInt(), 0);
    storeRow(*m_store, "reboot", base + 6000, {"r3"});
    storeRow(*m_store, "coredump", base + 5500, {"c3"});
    m_store->commit();
    QVERIFY(reader.poll(sink));
    COMPARE_LINES(seen, (QStringList{"2026-01-15 10:00:00.000 reboot issuer=late",
                                     "2026-01-15 10:00:05.000 coredump taskname=c2",
                                     "2026-01-15 10:00:05.500 coredump taskname=c3",
                                     "2026-01-15 10:00:06.000 reboot issuer=r3"}));
    seen.clear();
    QVERIFY(reader.poll(sink));
    COMPARE_LINES(seen, QStringList());

    storeRow(*m_store, "watchdog", base + 7000, {"w2"});
    m_store->commit();
    QVERIFY(reader.poll(sink));
    COMPARE_LINES(seen, QStringList{"2026-01-15 10:00:07.000 watchdog triggeredBy=w2"});
}

void tst_LogReader::impliesTextFilter_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("ignoreCase");
    QTest::addColumn<QString>("filter");
    QTest::newRow("literal with case") << "Timeout" << false << "Timeout";
    QTest::newRow("literal without case, Kelvin sign and long s")
        << "disk" << true << QString::fromUtf8("[dD][iI][sS\u017F][kK\u212A]");
    QTest::newRow("punctuation escaped") << "a.b-c: d" << false << "b\\-c\\:\\ d";
    QTest::newRow("optional character left out") << "admins?root" << false << "admin";
    QTest::newRow("repeated character kept") << "ro+tkit" << false << "tkit";
    QTest::newRow("counted character left out") << "abcx{0}de" << false << "abc";
    QTest::newRow("alternatives promise nothing") << "timeout|reset" << false << "";
    QTest::newRow("group promises nothing") << "(abc)?" << false << "";
    QTest::newRow("class promises nothing") << "[abc]def" << false << "";
    QTest::newRow("escape promises nothing") << "\\Qabc" << false << "";
    QTest::newRow("too short") << "ab.cd" << false << "";
    QTest::newRow("non-ASCII with case") << QString::fromUtf8("caf\u00e9s") << false << QString::fromUtf8("caf\u00e9s");
    QTest::newRow("non-ASCII without case ends the run")
        << QString::fromUtf8("\u00e9t\u00e9 abc") << true << "\\ [aA][bB][cC]";
}

void tst_LogReader::impliesTextFilter()
{
    QFETCH(QString, pattern);
    QFETCH(bool, ignoreCase);
    QFETCH(QString, filter);
    QCOMPARE(impliedTextFilter(QRegularExpression(pattern, ignoreCase ? QRegularExpression::CaseInsensitiveOption
                                                                       : QRegularExpression::NoPatternOption)),
             filter);
}

void tst_LogReader::readsConvertedAndNewDatabasesAlike_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("lines");

    // The rows lie over two hours from base, 0 to 4 s out of order, with ties and some a day early, and a burst of
    // 30,000 reboots from 10:29:24.736, the start of a bucket, one a millisecond; then some are deleted, some added
    // by another program and some marked sent.
    QTest::newRow("all, oldest first") << QStringList{} << 57000;
    QTest::newRow("all, newest first") << QStringList{"-r"} << 57000;
    QTest::newRow("the last 100") << QStringList{"-n", "100"} << 100;
    QTest::newRow("the last 6000 of one type, newest first") << QStringList{"-t", "reboot", "-n", "6000", "-r"} << 6000;
    QTest::newRow("one minute") << QStringList{"-S", "2026-01-15 11:00:00", "-U", "2026-01-15 11:00:59.999"} << 220;
    QTest::newRow("a window within the burst") << QStringList{"-S", "2026-01-15 10:29:30", "-U", "2026-01-15 10:29:32"}
                                               << 2000;
    QTest::newRow("the burst, newest first") << QStringList{"-t", "reboot", "-S", "2026-01-15 10:29:20", "-U",
                                                            "2026-01-15 10:30:00", "-r"}
                                             << 28900;
    QTest::newRow("the last hour, newest first") << QStringList{"-S", "2026-01-15 11:00", "-r"} << 14000;
    QTest::newRow("up to a time") << QStringList{"-U", "2026-01-15 10:00:30"} << 400;
    QTest::newRow("a rare match, last 2") << QStringList{"-M", "issuer=25000", "-M", "issuer=49999", "-n", "2"} << 2;
    QTest::newRow("statistics") << QStringList{"--stats"} << 10;
    QTest::newRow("statistics of a window as json") << QStringList{"--stats", "-o", "json", "-S", "2026-01-15 10:20"} << 9;
    QTest::newRow("counts of a field in a window")
        << QStringList{"-F", "issuer", "-S", "2026-01-15 10:29:50", "-U", "2026-01-15 10:31"} << 100;
    QTest::newRow("histogram of a window") << QStringList{"--histogram", "1min", "-S", "2026-01-15 10:00", "-U",
                                                          "2026-01-15 11:59:59.999"}
                                           << 120;
    QTest::newRow("histogram of hours, gaps included") << QStringList{"--histogram", "1h", "-o", "json"} << 27;
    QTest::newRow("histogram, window edges within buckets")
        << QStringList{"--histogram", "10min", "-S", "2026-01-15 10:05:17", "-U", "2026-01-15 11:47:03.5"} << 11;
    QTest::newRow("counts of a number") << QStringList{"-F", "sentToMasterDB"} << 3;
}

void tst_LogReader::readsConvertedAndNewDatabasesAlike()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, lines);
    makeComparedDatabases();
    if (QTest::currentTestFailed())
        return;
    QStringList outputs;
    for (const QString& path : qAsConst(m_comparedPaths)) {
        QString error;
        outputs << QString::fromUtf8(run(arguments, &error, path));
        QCOMPARE(error, QString());
    }
    QVERIFY2(outputs.first().count('\n') >= lines, qPrintable(QString::number(outputs.first().count('\n'))));
    // The size on disk of the statistics differs.
    static const QRegularExpression size(QStringLiteral("(Size on disk|\\{\"sizeOnDisk\").*"));
    for (QString& output : outputs)
        output.remove(size);
    COMPARE_LINES(outputs.at(1).split('\n'), outputs.at(0).split('\n'));
    COMPARE_LINES(outputs.at(2).split('\n'), outputs.at(0).split('\n'));
}

void tst_LogReader::makeComparedDatabases()
{
    if (!m_comparedPaths.isEmpty())
        return;
    QVERIFY(m_compared.isValid());
    const QString newer = m_compared.filePath(QStringLiteral("new.db"));
    const QString earlier = m_compared.filePath(QStringLiteral("earlier.db"));
    const QString converted = m_compared.filePath(QStringLiteral("converted.db"));
    ConfigSettings::getInstance()->setDBPath(newer);
    {
        DataBaseWrapper store(*ConfigSettings::getInstance(), nullptr);
        QVERIFY(store.isReady());
        quint32 random = 1;
        const auto next = [&random] { return (random = random * 1103515245 + 12345) >> 8; };
        const char* const types[] = {"reboot", "coredump", "sysload", "generic"};
        // The burst fills every millisecond of 30 s, so that every edge of the parts a read takes of its bucket
        // has rows on both sides; some rows lie on the edges of buckets.
        const qint64 burstStart = (base + 30 * 60000) / 65536 * 65536;
        qint64 steady = 0;
        for (int i = 0; i < 60000; ++i) {
            const bool burst = i >= 20000 && i < 50000;
            qint64 time = burst ? burstStart + (i - 20000) : base + steady * 240 - qint64(next() % 4000);
            steady += burst ? 0 : 1;
            if (!burst && i % 97 == 0)
                time -= 86400000;
            else if (!burst && i % 50 == 1)
                time = base + (steady - 2) * 240;
            else if (!burst && i % 61 == 0)
                time = time / 65536 * 65536 - i % 2;
            const QString type = QLatin1String(burst ? "reboot" : types[next() % 4]);
            storeRow(store, type, time, {QStringLiteral("%1").arg(i), QStringLiteral("k"), QStringLiteral("r-%1").arg(i)});
            // Transactions of uneven sizes, as arrivals make them.
            if (next() % 300 == 0)
                store.commit();
        }
    }
    QCOMPARE(timeMapProblem(newer), QString());
    // An earlier version had an index on time and no time map.
    QVERIFY(QFile::copy(newer, earlier));
    QStringList layout{QStringLiteral("DROP TABLE %1").arg(QLatin1String(timeMapTable)),
                       QStringLiteral("DROP TABLE %1").arg(QLatin1String(timeMarkTable))};
    for (const QString& table : requiredTables())
        layout << QStringLiteral("CREATE INDEX %1_time ON %1(time)").arg(table);
    QCOMPARE(execStatements(earlier, layout), QString());
    QVERIFY(QFile::copy(earlier, converted));
    ConfigSettings::getInstance()->setDBPath(converted);
    {
        DataBaseWrapper store(*ConfigSettings::getInstance(), nullptr);
        QVERIFY(store.isReady());
        QTRY_COMPARE_WITH_TIMEOUT(queryNumber(converted, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                                                         "name LIKE '%\\_time' ESCAPE '\\'"),
                                  qint64(0), 30000);
    }
    QCOMPARE(timeMapProblem(converted), QString());
    ConfigSettings::getInstance()->setDBPath(m_dbPath);
    // As retention, another program and a forwarder leave them: rows gone from entries that still count them, at the
    // front of one table and within another, rows after the map's mark, and rows sent, the oldest of one table among
    // them and the oldest of another not.
    const QStringList changes{
        "DELETE FROM reboots WHERE rowID % 3 = 0 AND rowID <= 9000",
        "DELETE FROM generic WHERE rowID BETWEEN 2000 AND 2100",
        "INSERT INTO coredumps (time, taskname) SELECT time + 17, 'late-' || rowID FROM coredumps WHERE rowID % 10 = 0 "
        "ORDER BY rowID",
        "INSERT INTO reboots (time, issuer) SELECT time + 1, 'late' FROM reboots WHERE rowID % 100 = 7 ORDER BY rowID",
        "UPDATE coredumps SET sentToMasterDB = 1 WHERE rowID <= 3000 OR time < " + QString::number(base),
        "UPDATE reboots SET sentToMasterDB = 1 WHERE rowID % 2 = 0 AND time >= " + QString::number(base),
        "UPDATE generic SET sentToMasterDB = 2 WHERE rowID % 4 = 1"};
    const QStringList paths{earlier, converted, newer};
    for (const QString& path : paths)
        QCOMPARE(execStatements(path, changes), QString());
    m_comparedPaths = paths;
}

void tst_LogReader::summarisesAsSqlCounts_data()
{
    QTest::addColumn<QStringList>("arguments");
    // Gives the expected lines, counted by SQL of its own from the same rows.
    QTest::addColumn<QString>("sql");
    const QString fieldSql = "SELECT '{\"count\":' || count(*) || ',\"taskname\":\"' || taskname || '\"}' FROM "
                             "(SELECT taskname, time FROM coredumps UNION ALL SELECT taskname, time FROM specfile)%1 "
                             "GROUP BY taskname ORDER BY count(*) DESC, taskname";
    QTest::newRow("field over the tables that have it") << QStringList{"-F", "taskname"} << fieldSql.arg("");
    // The reader's pattern makes it count the rows itself: the same answer as the store's aggregate.
    QTest::newRow("field, counted row by row") << QStringList{"-F", "taskname", "-g", "^"} << fieldSql.arg("");
    QTest::newRow("field in a window") << QStringList{"-F", "taskname", "-S", "2026-01-15 10:00:02"}
                                       << fieldSql.arg(" WHERE time >= 1768467602000");
    QTest::newRow("field of an unsigned number")
        << QStringList{"-F", "recordNumber"}
        << "SELECT '{\"count\":' || count(*) || ',\"recordNumber\":18446744073709551615}' FROM generic";
    // Intervals of a second from 10:00:00, the first without events, as the gaps after 10:00:02.
    const QString histogramSql =
        "WITH RECURSIVE i(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM i WHERE n < 5) "
        "SELECT '{\"time\":' || (%1 + n * 1000) || ',\"coredump\":' || (SELECT count(*) FROM coredumps WHERE time "
        ">= %1 + n * 1000 AND time < %1 + n * 1000 + 1000) || ',\"reboot\":' || (SELECT count(*) FROM reboots "
        "WHERE time >= %1 + n * 1000 AND time < %1 + n * 1000 + 1000%2) || '}' FROM i ORDER BY n";
    QTest::newRow("histogram with gaps")
        << QStringList{"--histogram", "1s", "-t", "reboot", "-t", "coredump", "-S", "2026-01-15T09:00:00.5Z", "-U",
                       "2026-01-15 10:00:05.999"}
        << histogramSql.arg(base).arg("");
    QTest::newRow("histogram, counted row by row")
        << QStringList{"--histogram", "1s", "-t", "reboot", "-t", "coredump", "-g", "in|admin", "-S",
                       "2026-01-15 10:00:00", "-U", "2026-01-15 10:00:05.999"}
        << histogramSql.arg(base).arg(" AND issuer = 'admin'");
    QTest::newRow("stats as json") << QStringList{"--stats", "-o", "json", "-t", "reboot"}
                                   << "SELECT '{\"type\":\"reboot\",\"events\":' || count(*) || ',\"unsent\":' || "
                                      "sum(sentToMasterDB = 0) || ',\"age\":' || (("
                                      + QString::number(base + 10000)
                                      + " - min(time)) / 1000) || ',\"first\":' || min(time) || ',\"last\":' || "
                                        "max(time) || '}' FROM reboots";
}

void tst_LogReader::summarisesAsSqlCounts()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, sql);
    QStringList expected;
    for (const QVariantList& row : queryRows(m_dbPath, sql))
        expected << row.value(0).toString();
    QVERIFY(!expected.isEmpty());
    QString error;
    if (!arguments.contains("-o"))
        arguments << "-o" << "json";
    QStringList lines = QString::fromUtf8(run(arguments, &error)).split('\n');
    QCOMPARE(error, QString());
    QCOMPARE(lines.takeLast(), QString());
    if (arguments.contains("--stats"))
        QVERIFY2(lines.takeLast().startsWith("{\"sizeOnDisk\":"), qPrintable(lines.join('\n')));
    COMPARE_LINES(lines, expected);
}

void tst_LogReader::takesPrintedTimesBack_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("utc");
    // The instants whose local time repeats one that came an hour before, in the zone.
    QTest::addColumn<QVector<qint64>>("secondPasses");
    // Around both zones' changes of 2026: Berlin on 29 March and 25 October, New York on 8 March and 1 November.
    const QVector<qint64> berlin{1792891800000};
    const QVector<qint64> newYork{1793514600000};
    for (const QString format : {"short", "short-iso", "json"}) {
        QTest::newRow(qPrintable("Berlin, " + format)) << QByteArray("Europe/Berlin") << format << false << berlin;
        QTest::newRow(qPrintable("New York, " + format))
            << QByteArray("America/New_York") << format << false << newYork;
    }
    QTest::newRow("UTC in New York, short") << QByteArray("America/New_York") << "short" << true << QVector<qint64>();
}

void tst_LogReader::takesPrintedTimesBack()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, format);
    QFETCH(bool, utc);
    QFETCH(QVector<qint64>, secondPasses);
    // The first and second pass of each repeated hour, the first instant after each skipped one, a plain time.
    const QVector<qint64> instants{1792888200000, 1792891800000, 1774746000001, 1793511000000,
                                   1793514600000, 1772953200000, base + 123};
    for (const qint64 instant : instants)
        storeRow(*m_store, "sysload", instant, {QString::number(instant)});
    m_store->commit();
    qputenv("TZ", zone);
    tzset();
    const auto restore = qScopeGuard([] {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    });
    const QStringList options = utc ? QStringList{"-t", "sysload", "--utc"} : QStringList{"-t", "sysload"};
    for (const qint64 instant : instants) {
        const QString line = QString::fromUtf8(run(options + QStringList{"-o", format, "-M", "sysload=" + QString::number(instant)}));
        const QString time = format == "json" ? line.section(',', 0, 0).mid(8)
                                              : line.left(format == "short" ? 23 : 29);
        // The short format names the repeated hour's first pass; its offset tells short-iso's apart.
        const qint64 meant = format == "short" && secondPasses.contains(instant) ? instant - 3600000 : instant;
        const QString selected = QString::fromUtf8(run(options + QStringList{"-o", "json", "-S", time, "-U", time}));
        QVERIFY2(selected.contains(QStringLiteral("\"sysload\":\"%1\"").arg(meant)),
                 qPrintable(time + " selected " + selected));
        QCOMPARE(selected.count('\n'), 1);
    }
}

void tst_LogReader::quotesValues_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("plain, bare") << QByteArray("sshd") << QByteArray("sshd");
    QTest::newRow("backslash alone stays bare") << QByteArray("C:\\x") << QByteArray("C:\\x");
    QTest::newRow("non-ASCII stays bare") << QByteArray("caf\xC3\xA9") << QByteArray("caf\xC3\xA9");
    QTest::newRow("empty") << QByteArray() << QByteArray("\"\"");
    QTest::newRow("space") << QByteArray("two words") << QByteArray("\"two words\"");
    QTest::newRow("equals sign") << QByteArray("a=b") << QByteArray("\"a=b\"");
    QTest::newRow("double quote") << QByteArray("say \"x\"") << QByteArray("\"say \\\"x\\\"\"");
    QTest::newRow("backslash in quotes") << QByteArray("a \\n") << QByteArray("\"a \\\\n\"");
    QTest::newRow("control character") << QByteArray("a\tb") << QByteArray("\"a\\tb\"");
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << QByteArray("\"a\\x00b\"");
    QTest::newRow("C1 control") << QByteArray("a\xC2\x9B") << QByteArray("\"a\\u009b\"");
    QTest::newRow("no UTF-8") << QByteArray("a\xFF") << QByteArray("\"a\xEF\xBF\xBD\"");
}

void tst_LogReader::quotesValues()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, written);
    QByteArray out("x=");
    appendLogfmtValue(text, out);
    QCOMPARE(out, "x=" + written);
}

QTEST_GUILESS_MAIN(tst_LogReader)
#include "tst_logreader.moc"
