// The reader on a master database that two real forwarders fill from two daemons, each under its own host name.
#include "comparelines.h"
#include "daemonfixture.h"
#include "pgtestserver.h"
#include "processrunner.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>

namespace {

const QString readerPath = QStringLiteral(TEVRIKLOG_PATH);

// One event as the master must show it, read back from the local database that it was stored in.
struct Event
{
    qint64 time;
    QString host;
    qint64 rowId;
    int tableOrder;
    QString type;
    QString shortFields;
    QString jsonFields;
    QStringList texts;

    QString shortLine() const
    {
        return QDateTime::fromMSecsSinceEpoch(time).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + ' ' + host
               + ' ' + type + shortFields;
    }
    QString jsonLine() const
    {
        return QStringLiteral("{\"time\":%1,\"type\":\"%2\",\"host\":\"%3\",\"rowID\":%4%5,\"sentToMasterDB\":1}")
            .arg(time)
            .arg(type, host)
            .arg(rowId)
            .arg(jsonFields);
    }
};

bool earlier(const Event& a, const Event& b)
{
    return std::tie(a.time, a.host, a.rowId, a.tableOrder) < std::tie(b.time, b.host, b.rowId, b.tableOrder);
}

// A source: a daemon with its own database and a forwarder that names it host.
struct Source
{
    QString host;
    DaemonFixture daemon;
    QProcess forwarder;

    ~Source()
    {
        forwarder.terminate();
        forwarder.waitForFinished(20000);
    }

    qint64 localRows()
    {
        const QList<QVariantList> rows = queryRows(
            daemon.dbPath(), "SELECT (SELECT count(*) FROM reboots) + (SELECT count(*) FROM coredumps) "
                             "+ (SELECT count(*) FROM generic)");
        return rows.isEmpty() ? -1 : rows.first().value(0).toLongLong();
    }

    QVector<Event> events()
    {
        QVector<Event> events;
        for (const QVariantList& row : queryRows(daemon.dbPath(), "SELECT time, rowID, issuer FROM reboots"))
            events << Event{row.at(0).toLongLong(), host, row.at(1).toLongLong(), 2, "reboot",
                            " issuer=" + row.at(2).toString(), ",\"issuer\":\"" + row.at(2).toString() + '"',
                            {row.at(2).toString()}};
        for (const QVariantList& row : queryRows(daemon.dbPath(), "SELECT time, rowID, taskname FROM coredumps"))
            events << Event{row.at(0).toLongLong(), host, row.at(1).toLongLong(), 1, "coredump",
                            " taskname=" + row.at(2).toString(), ",\"taskname\":\"" + row.at(2).toString() + '"',
                            {row.at(2).toString()}};
        for (const QVariantList& row :
             queryRows(daemon.dbPath(), "SELECT time, rowID, recordNumber, key, value FROM generic")) {
            const QString number = QString::number(static_cast<quint64>(row.at(2).toLongLong()));
            const QString key = row.at(3).toString();
            events << Event{row.at(0).toLongLong(), host, row.at(1).toLongLong(), 7, "generic",
                            " recordNumber=" + number + " key=" + key + " value=" + row.at(4).toString(),
                            ",\"recordNumber\":" + number + ",\"key\":\"" + key + "\",\"value\":\""
                                + row.at(4).toString() + '"',
                            {key, row.at(4).toString()}};
        }
        return events;
    }
};

} // namespace

class tst_TevrikLogMaster : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reads_data();
    void reads();
    void stats();
    void followsAcrossALostConnection();
    void refuses_data();
    void refuses();
    void ordersTiesBytewiseByHost();

private:
    qint64 masterRows();
    bool forwarded();
    QVector<Event> allEvents();
    RunResult read(const QStringList& arguments);

    std::unique_ptr<PgTestServer> m_server;
    std::array<std::unique_ptr<Source>, 2> m_sources;
};

void tst_TevrikLogMaster::initTestCase()
{
    if (!PgTestServer::available())
        QSKIP("PostgreSQL 15 server binaries are not installed (Debian package postgresql-15)");
    m_server = std::make_unique<PgTestServer>();
    QVERIFY2(m_server->init(), qPrintable(m_server->errorString()));
    // A collation that is not bytewise, as on most masters: "alpha" sorts before "Zeta" there.
    m_server->query("CREATE DATABASE master LOCALE_PROVIDER icu ICU_LOCALE 'en' LOCALE 'C.UTF-8' TEMPLATE template0");
    m_server->query("CREATE DATABASE empty");
    QVERIFY2(m_server->errorString().isEmpty(), qPrintable(m_server->errorString()));

    const QStringList hosts{"alpha", "beta"};
    for (size_t s = 0; s < m_sources.size(); ++s) {
        m_sources[s] = std::make_unique<Source>();
        Source& source = *m_sources[s];
        source.host = hosts.at(static_cast<int>(s));
        QVERIFY(source.daemon.start());
        QFile config(source.daemon.configPath());
        QVERIFY(config.open(QIODevice::Append));
        config.write("\n[Master Database]\nconninfo=" + m_server->conninfo("master").toUtf8()
                     + "\nmaxdelay=100\nmaxretrydelay=500\nhost=" + source.host.toUtf8() + '\n');
        config.close();
        source.forwarder.start(QStringLiteral(TEVRIKLOGFORWARD_PATH), {"-c", source.daemon.configPath()});
        QVERIFY(source.forwarder.waitForStarted());
    }
    // Interleaved, so that the timeline alternates between the hosts.
    Source& alpha = *m_sources[0];
    Source& beta = *m_sources[1];
    QCOMPARE(alpha.daemon.send({"-t", "reboot", "-m", "alpha1"}), 0);
    QCOMPARE(beta.daemon.send({"-t", "reboot", "-m", "beta1"}), 0);
    QCOMPARE(beta.daemon.send({"-t", "coredump", "-m", "beta-task"}), 0);
    QCOMPARE(alpha.daemon.send({"-t", "generic", "-m", "18446744073709551615", "-m", "k", "-m", "v"}), 0);
    QCOMPARE(alpha.daemon.send({"-t", "coredump", "-m", "alpha-task"}), 0);
    QCOMPARE(beta.daemon.send({"-t", "reboot", "-m", "beta2"}), 0);
    QVERIFY(waitFor([&] { return alpha.localRows() == 3 && beta.localRows() == 3; }));
    QVERIFY(forwarded());
}

qint64 tst_TevrikLogMaster::masterRows()
{
    return m_server->number("SELECT (SELECT count(*) FROM reboots) + (SELECT count(*) FROM coredumps) "
                            "+ (SELECT count(*) FROM generic)",
                            "master");
}

bool tst_TevrikLogMaster::forwarded()
{
    return waitFor([&] { return masterRows() == m_sources[0]->localRows() + m_sources[1]->localRows(); });
}

QVector<Event> tst_TevrikLogMaster::allEvents()
{
    QVector<Event> events = m_sources[0]->events() + m_sources[1]->events();
    std::sort(events.begin(), events.end(), earlier);
    return events;
}

RunResult tst_TevrikLogMaster::read(const QStringList& arguments)
{
    return runProgram(readerPath, QStringList{"--master", m_server->conninfo("master")} + arguments);
}

void tst_TevrikLogMaster::reads_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QStringList>("types");
    QTest::addColumn<int>("last");
    QTest::addColumn<bool>("reverse");
    QTest::addColumn<QStringList>("hosts");
    // The pattern as the reader applies it: the master's narrowing must not change the answer.
    QTest::addColumn<QString>("grep");

    QTest::newRow("one timeline of both hosts") << QStringList{} << false << QStringList{} << -1 << false
                                                << QStringList{} << QString();
    QTest::newRow("json, unsigned record numbers")
        << QStringList{"-o", "json"} << true << QStringList{} << -1 << false << QStringList{} << QString();
    QTest::newRow("last three, newest first")
        << QStringList{"-n", "3", "-r"} << false << QStringList{} << 3 << true << QStringList{} << QString();
    QTest::newRow("last two of two types as json")
        << QStringList{"-t", "coredump", "-t", "generic", "-n", "2", "-o", "json"} << true
        << QStringList{"coredump", "generic"} << 2 << false << QStringList{} << QString();
    QTest::newRow("one host") << QStringList{"-H", "alpha"} << false << QStringList{} << -1 << false
                              << QStringList{"alpha"} << QString();
    QTest::newRow("two hosts, last two reboots")
        << QStringList{"--host", "beta", "-H", "alpha", "-t", "reboot", "-n", "2"} << false << QStringList{"reboot"}
        << 2 << false << QStringList{"alpha", "beta"} << QString();
    QTest::newRow("unknown host") << QStringList{"-H", "gamma"} << false << QStringList{} << -1 << false
                                  << QStringList{"gamma"} << QString();
    QTest::newRow("literal pattern in any case") << QStringList{"-g", "TASK"} << false << QStringList{} << -1
                                                 << false << QStringList{} << "TASK";
    QTest::newRow("literal pattern without case") << QStringList{"-g", "task", "-n", "1"} << false << QStringList{}
                                                  << 1 << false << QStringList{} << "task";
    QTest::newRow("pattern with a literal part") << QStringList{"-g", "eta.t"} << false << QStringList{} << -1
                                                 << false << QStringList{} << "eta.t";
    QTest::newRow("alternatives") << QStringList{"-g", "a1|beta2", "-H", "alpha"} << false << QStringList{} << -1
                                  << false << QStringList{"alpha"} << "a1|beta2";
}

void tst_TevrikLogMaster::reads()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, json);
    QFETCH(QStringList, types);
    QFETCH(int, last);
    QFETCH(bool, reverse);
    QFETCH(QStringList, hosts);
    QFETCH(QString, grep);

    QVector<Event> events = allEvents();
    const bool hasCapital = std::any_of(grep.cbegin(), grep.cend(), [](QChar c) { return c.isUpper(); });
    const QRegularExpression pattern(grep, hasCapital ? QRegularExpression::NoPatternOption
                                                      : QRegularExpression::CaseInsensitiveOption);
    events.erase(std::remove_if(events.begin(), events.end(),
                                [&](const Event& event) {
                                    return (!hosts.isEmpty() && !hosts.contains(event.host))
                                           || (!grep.isEmpty()
                                               && std::none_of(event.texts.cbegin(), event.texts.cend(),
                                                               [&](const QString& text) {
                                                                   return pattern.match(text).hasMatch();
                                                               }));
                                }),
                 events.end());
    if (!types.isEmpty())
        events.erase(std::remove_if(events.begin(), events.end(),
                                    [&types](const Event& event) { return !types.contains(event.type); }),
                     events.end());
    if (last >= 0)
        events = events.mid(std::max(0, events.size() - last));
    if (reverse)
        std::reverse(events.begin(), events.end());
    QStringList expected;
    for (const Event& event : events)
        expected << (json ? event.jsonLine() : event.shortLine());
    expected << QString();

    const RunResult result = read(arguments);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    COMPARE_LINES(QString::fromUtf8(result.out).split('\n'), expected);
}

void tst_TevrikLogMaster::stats()
{
    const RunResult result = read({"--stats", "-t", "reboot", "-t", "coredump", "-t", "watchdog"});
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    const auto time = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    };
    QStringList expected{"TYPE HOST EVENTS FIRST LAST"};
    for (const QString type : {"coredump", "reboot"}) {
        for (const auto& source : m_sources) {
            QVector<qint64> times;
            for (const Event& event : source->events()) {
                if (event.type == type)
                    times << event.time;
            }
            std::sort(times.begin(), times.end());
            expected << QStringLiteral("%1 %2 %3 %4 %5")
                            .arg(type, source->host)
                            .arg(times.size())
                            .arg(time(times.first()), time(times.last()));
        }
    }
    expected << "watchdog - 0 - -";
    QStringList lines = QString::fromUtf8(result.out).split('\n');
    QCOMPARE(lines.size(), expected.size() + 3);
    QVERIFY2(lines.at(expected.size()).startsWith("Sources: 2; size on disk of the master database: "),
             qPrintable(lines.at(expected.size())));
    QCOMPARE(lines.at(expected.size() + 1),
             QString("Rows not yet forwarded are known only on each host: tevriklog --stats there."));
    QStringList table;
    for (int i = 0; i < expected.size(); ++i)
        table << lines.at(i).simplified();
    COMPARE_LINES(table, expected);
}

void tst_TevrikLogMaster::followsAcrossALostConnection()
{
    Source& alpha = *m_sources[0];
    Source& beta = *m_sources[1];
    QProcess follower;
    follower.start(readerPath, {"--master", m_server->conninfo("master"), "-f", "-n", "1"});
    QByteArray out;
    QCOMPARE(waitForLines(follower, out, 1).size(), 1);

    QCOMPARE(beta.daemon.send({"-t", "reboot", "-m", "beta3"}), 0);
    QCOMPARE(waitForLines(follower, out, 2).size(), 2);
    QCOMPARE(alpha.daemon.send({"-t", "reboot", "-m", "alpha2"}), 0);
    QCOMPARE(waitForLines(follower, out, 3).size(), 3);

    // The master goes away and comes back: one warning, one line, and the rows stored meanwhile follow.
    QVERIFY(m_server->stop());
    QByteArray err;
    QVERIFY(waitForStderrLine(follower, err, "Warning: ", 30000));
    QCOMPARE(alpha.daemon.send({"-t", "coredump", "-m", "while-away"}), 0);
    QVERIFY(waitFor([&] { return alpha.localRows() == 5; }));
    QVERIFY(m_server->start());
    QVERIFY(waitForStderrLine(follower, err, "Info: ", 30000));
    QCOMPARE(waitForLines(follower, out, 4).size(), 4);
    QVERIFY(forwarded());

    follower.terminate();
    QVERIFY(follower.waitForFinished(20000));
    out += follower.readAllStandardOutput();
    err += follower.readAllStandardError();
    QCOMPARE(follower.exitStatus(), QProcess::NormalExit);
    QCOMPARE(follower.exitCode(), 0);
    QCOMPARE(err.count('\n'), 2);

    QStringList expected;
    const QVector<Event> events = allEvents();
    for (const Event& event : events.mid(events.size() - 4))
        expected << event.shortLine();
    expected << QString();
    COMPARE_LINES(QString::fromUtf8(out).split('\n'), expected);
}

void tst_TevrikLogMaster::refuses_data()
{
    QTest::addColumn<QString>("conninfo");
    QTest::addColumn<QString>("error");
    QTest::newRow("no such database") << "host=%DIR% dbname=nosuch user=postgres password=secret-word"
                                      << "Error: Cannot connect to the master database: connection to server on "
                                         "socket \"%DIR%/.s.PGSQL.";
    QTest::newRow("not a master") << "host=%DIR% dbname=empty user=postgres password=secret-word"
                                  << "Error: Database \"empty\" on %DIR% is not a tevrik master database: missing "
                                     "tables sources, configuration, coredumps, reboots, watchdog, joinlayer, "
                                     "specfile, systemload, generic\n";
    QTest::newRow("malformed, the password quoted by libpq")
        << "host=%DIR% passwordsecret-word"
        << "Error: Invalid connection string for --master: expected keyword=value pairs or a postgresql:// URI\n";
}

void tst_TevrikLogMaster::refuses()
{
    QFETCH(QString, conninfo);
    QFETCH(QString, error);
    const QString dir = m_server->conninfo().section(' ', 0, 0).mid(5);
    const RunResult result = runProgram(readerPath, {"--master", conninfo.replace("%DIR%", dir)});
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(QString::fromUtf8(result.err).startsWith(error.replace("%DIR%", dir)), result.err.constData());
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY(!result.err.contains("secret-word"));
}

void tst_TevrikLogMaster::ordersTiesBytewiseByHost()
{
    // Rows of one instant in 1970, apart from the forwarded ones: two more sources, one host name with a capital.
    m_server->query("INSERT INTO sources (source, hostname) VALUES ('00000000-0000-0000-0000-00000000000a', 'alpha'), "
                    "('00000000-0000-0000-0000-00000000000b', 'Zeta'); "
                    "INSERT INTO reboots (source, hostname, rowid, time, issuer) VALUES "
                    "('00000000-0000-0000-0000-00000000000a', 'alpha', 1, 1000, 'a1'), "
                    "('00000000-0000-0000-0000-00000000000b', 'Zeta', 1, 1000, 'z1'); "
                    "INSERT INTO coredumps (source, hostname, rowid, time, taskname) VALUES "
                    "('00000000-0000-0000-0000-00000000000a', 'alpha', 1, 1000, 'a-task')",
                    "master");
    QVERIFY2(m_server->errorString().isEmpty(), qPrintable(m_server->errorString()));
    const QString time = QDateTime::fromMSecsSinceEpoch(1000).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    for (const QStringList& arguments : {QStringList{"-U", "@1000"}, QStringList{"-U", "@1000", "-r"}}) {
        const RunResult result = read(arguments);
        QCOMPARE(result.exitCode, 0);
        QStringList expected{time + " Zeta reboot issuer=z1", time + " alpha coredump taskname=a-task",
                             time + " alpha reboot issuer=a1"};
        if (arguments.contains("-r"))
            std::reverse(expected.begin(), expected.end());
        COMPARE_LINES(QString::fromUtf8(result.out).split('\n'), expected << QString());
    }
}

QTEST_GUILESS_MAIN(tst_TevrikLogMaster)

#include "tst_tevriklogmaster.moc"
