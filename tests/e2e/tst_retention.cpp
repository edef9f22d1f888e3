// Pruning by age and by size while events keep arriving, and the rows kept for a master database.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "logmessage.pb.h"
#include "processrunner.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>

namespace {

constexpr qint64 msPerDay = 24 * 60 * 60 * 1000;

QByteArray rebootAt(qint64 timeMs, const QString& issuer)
{
    LogEvent event;
    event.mutable_reboot()->set_timestamp(quint64(timeMs));
    event.mutable_reboot()->set_issuer(issuer.toStdString());
    return QByteArray::fromStdString(event.SerializeAsString());
}

qint64 usedBytes(const QString& dbPath)
{
    const qint64 pages = queryNumber(dbPath, QStringLiteral("PRAGMA page_count"));
    return (pages - queryNumber(dbPath, QStringLiteral("PRAGMA freelist_count")))
           * queryNumber(dbPath, QStringLiteral("PRAGMA page_size"));
}

// One daemon at verbosity 0 with retention keys, fed with reboot events by the test.
class PruningDaemon
{
public:
    bool start(const QString& limits)
    {
        m_fixture.configure();
        m_port = m_fixture.port();
        QFile config(configPath());
        if (!config.open(QIODevice::Append))
            return false;
        config.write(limits.toUtf8());
        config.close();
        return m_fixture.startWith({QStringLiteral("-c"), configPath()});
    }

    void send(qint64 timeMs, const QString& issuer)
    {
        QVERIFY(sendDatagram(m_socket, rebootAt(timeMs, issuer), m_port));
        ++m_sent;
    }

    // Sends a new event now and then, so that commits, and with them pruning, go on, until the query gives expected.
    bool tickUntil(const QString& sql, qint64 expected)
    {
        const QDeadlineTimer deadline(60000);
        do {
            send(QDateTime::currentMSecsSinceEpoch(), QStringLiteral("tick-%1").arg(m_sent));
            if (queryNumber(dbPath(), sql) == expected)
                return true;
            QTest::qWait(50);
        } while (!deadline.hasExpired());
        return false;
    }

    // The counters that SIGUSR1 reports; the daemon prunes nothing more while no event arrives.
    QMap<QString, qint64> counters()
    {
        const QString last = QStringLiteral("tick-%1").arg(m_sent - 1);
        if (waitForRows(dbPath(), QStringLiteral("SELECT 1 FROM reboots WHERE issuer = '%1'").arg(last), 1).isEmpty())
            return {};
        signalProcess(m_fixture.process(), SIGUSR1);
        QMap<QString, qint64> values;
        QByteArray fresh;
        const bool written = waitForStderrLine(m_fixture.process(), fresh, "Info: \"Counters: ");
        m_stderr += fresh;
        if (!written)
            return values;
        static const QRegularExpression counter(QStringLiteral("([a-z ]+) (\\d+)"));
        const QByteArray line = fresh.mid(fresh.indexOf("Counters: ") + 10).split('\n').first();
        auto match = counter.globalMatch(QString::fromUtf8(line));
        while (match.hasNext()) {
            const QRegularExpressionMatch found = match.next();
            values.insert(found.captured(1).trimmed(), found.captured(2).toLongLong());
        }
        return values;
    }

    QString dbPath() const { return m_fixture.dbPath(); }
    QString configPath() const { return m_fixture.configPath(); }
    qint64 sent() const { return m_sent; }
    quint16 port() const { return m_port; }
    QProcess& process() { return m_fixture.process(); }
    QByteArray& stderrText()
    {
        m_stderr += m_fixture.process().readAllStandardError();
        return m_stderr;
    }

private:
    DaemonFixture m_fixture;
    QUdpSocket m_socket;
    QByteArray m_stderr;
    quint16 m_port = 0;
    qint64 m_sent = 0;
};

// Sends count events in paced batches over a few seconds, so that several pruning passes meet arriving rows.
// Every oldEvery-th event is two days old; text pads each issuer to about payloadBytes.
QStringList sendStream(PruningDaemon& daemon, int count, int oldEvery, int payloadBytes)
{
    QStringList newIssuers;
    const QString padding(qMax(0, payloadBytes - 12), QLatin1Char('p'));
    for (int i = 0; i < count; ++i) {
        const bool old = oldEvery > 0 && i % oldEvery == 0;
        const QString issuer = QStringLiteral("row-%1-").arg(i) + padding;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        daemon.send(old ? now - 2 * msPerDay : now, issuer);
        if (!old)
            newIssuers << issuer;
        if (i % 100 == 99)
            QTest::qWait(10);
    }
    return newIssuers;
}

} // namespace

class tst_Retention : public QObject
{
    Q_OBJECT

private slots:
    void prunesWhileEventsArrive_data();
    void prunesWhileEventsArrive();
    void keepsUnsentRowsForTheMaster_data();
    void keepsUnsentRowsForTheMaster();
};

void tst_Retention::prunesWhileEventsArrive_data()
{
    QTest::addColumn<QString>("limits");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("oldEvery");
    QTest::addColumn<int>("payloadBytes");

    QTest::newRow("by age: every old row goes, every new one stays") << "maxage=1\n" << 20000 << 3 << 20;
    QTest::newRow("by size: the newest rows stay within 1 MiB") << "maxsize=1\n" << 8000 << 0 << 1000;
    QTest::newRow("age and size: old rows first") << "maxage=1\nmaxsize=1\n" << 8000 << 2 << 1000;
}

void tst_Retention::prunesWhileEventsArrive()
{
    QFETCH(QString, limits);
    QFETCH(int, count);
    QFETCH(int, oldEvery);
    QFETCH(int, payloadBytes);

    PruningDaemon daemon;
    QVERIFY(daemon.start(QStringLiteral("[General Settings]\n") + limits));
    const QStringList newIssuers = sendStream(daemon, count, oldEvery, payloadBytes);
    // Rows are stored in arrival order: once the last one is there, every row sent is stored or pruned.
    const QString lastRow = QStringLiteral("SELECT 1 FROM reboots WHERE issuer = '%1'").arg(newIssuers.last());
    QVERIFY(!waitForRows(daemon.dbPath(), lastRow, 1, 120000).isEmpty());
    const QString oldRows = QStringLiteral("SELECT count(*) FROM reboots WHERE time < %1")
                                .arg(QDateTime::currentMSecsSinceEpoch() - msPerDay);
    QVERIFY(daemon.tickUntil(oldRows, 0));
    const bool bySize = limits.contains(QLatin1String("maxsize"));
    if (bySize) {
        const QDeadlineTimer deadline(60000);
        while (usedBytes(daemon.dbPath()) > 1024 * 1024 && !deadline.hasExpired())
            QVERIFY(daemon.tickUntil(QStringLiteral("SELECT 1"), 1));
        QVERIFY(usedBytes(daemon.dbPath()) <= 1024 * 1024);
    }

    const QMap<QString, qint64> counters = daemon.counters();
    QVERIFY2(counters.contains(QStringLiteral("rows pruned")), daemon.stderrText().constData());
    const qint64 stored = queryNumber(daemon.dbPath(), QStringLiteral("SELECT count(*) FROM reboots"));
    // Nothing but pruning took rows: the kernel dropped none, and every row stored or pruned is counted.
    QCOMPARE(receiveBufferDrops(daemon.port()), 0);
    QCOMPARE(stored + counters.value(QStringLiteral("rows pruned")), daemon.sent());
    QCOMPARE(counters.value(QStringLiteral("rows lost")), 0);

    const QStringList kept = firstColumn(queryRows(
        daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots WHERE issuer LIKE 'row-%' ORDER BY rowID")));
    if (bySize) {
        // The oldest go first: what is left is new rows only, in arrival order, the newest among them.
        QVERIFY(kept.size() > 100);
        QCOMPARE(kept.last(), newIssuers.last());
        int next = 0;
        for (const QString& issuer : kept) {
            next = int(newIssuers.indexOf(issuer, next));
            QVERIFY2(next >= 0, qPrintable(issuer.left(16)));
        }
    } else {
        QCOMPARE(counters.value(QStringLiteral("rows pruned")), qint64(count - newIssuers.size()));
        QCOMPARE(kept, newIssuers);
    }
    QVERIFY(daemon.process().state() == QProcess::Running);
}

void tst_Retention::keepsUnsentRowsForTheMaster_data()
{
    QTest::addColumn<QString>("limits");
    QTest::addColumn<bool>("bySize");

    QTest::newRow("by age: only the sent rows go") << "maxage=1\n" << false;
    QTest::newRow("by size: unsent rows go too, counted as lost") << "maxsize=1\n" << true;
}

void tst_Retention::keepsUnsentRowsForTheMaster()
{
    QFETCH(QString, limits);
    QFETCH(bool, bySize);

    PruningDaemon daemon;
    QVERIFY(daemon.start(QStringLiteral("[General Settings]\n") + limits
                         + QStringLiteral("[Master Database]\nconninfo=host=/nonexistent dbname=tevrik\n")));
    const int count = 4000;
    sendStream(daemon, count, 1, bySize ? 1000 : 20);
    if (!bySize) {
        QVERIFY(daemon.tickUntil(QStringLiteral("SELECT count(*) FROM reboots WHERE issuer LIKE 'row-%'"), count));
        // Nothing was sent yet, so the old rows wait; then the master takes every second one.
        QCOMPARE(daemon.counters().value(QStringLiteral("rows pruned"), -1), 0);
        QCOMPARE(execStatements(daemon.dbPath(), {QStringLiteral("UPDATE reboots SET sentToMasterDB = 1 WHERE issuer "
                                                                 "LIKE 'row-%' AND rowID % 2 = 0")}),
                 QString());
        QVERIFY(daemon.tickUntil(QStringLiteral("SELECT count(*) FROM reboots WHERE sentToMasterDB = 1"), 0));
        const QMap<QString, qint64> counters = daemon.counters();
        QCOMPARE(counters.value(QStringLiteral("rows pruned"), -1), qint64(count / 2));
        QCOMPARE(counters.value(QStringLiteral("rows lost"), -1), 0);
        QCOMPARE(queryNumber(daemon.dbPath(), QStringLiteral("SELECT count(*) FROM reboots WHERE issuer LIKE 'row-%'")),
                 qint64(count / 2));
        QVERIFY(!daemon.stderrText().contains("master database had not received"));
        return;
    }

    static const QRegularExpression report(
        QStringLiteral("Warning: \"Pruned (\\d+) rows that the master database had not received, to keep the "
                       "database within maxsize; they are lost\""));
    const auto reported = [&daemon] {
        qint64 sum = 0;
        auto match = report.globalMatch(QString::fromUtf8(daemon.stderrText()));
        while (match.hasNext())
            sum += match.next().captured(1).toLongLong();
        return sum;
    };
    // A pass reports its lost rows when it ends, which takes a commit after the bound is met.
    const QDeadlineTimer deadline(60000);
    QMap<QString, qint64> counters;
    do {
        QVERIFY(daemon.tickUntil(QStringLiteral("SELECT 1"), 1));
        counters = daemon.counters();
    } while ((usedBytes(daemon.dbPath()) > 1024 * 1024 || reported() != counters.value(QStringLiteral("rows lost")))
             && !deadline.hasExpired());
    const qint64 pruned = counters.value(QStringLiteral("rows pruned"));
    QVERIFY(pruned > count / 2);
    QCOMPARE(counters.value(QStringLiteral("rows lost")), pruned);
    QCOMPARE(reported(), pruned);
    QCOMPARE(queryNumber(daemon.dbPath(), QStringLiteral("SELECT count(*) FROM reboots")) + pruned, daemon.sent());
}

QTEST_GUILESS_MAIN(tst_Retention)
#include "tst_retention.moc"
