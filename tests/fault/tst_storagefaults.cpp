// The database side of faults: a database locked by another process, a full disk and statements
// that fail lose no event that could be stored.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "logmessage.pb.h"
#include "metricsparser.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUdpSocket>
#include <QUuid>
#include <QtTest>

#include <unistd.h>

namespace {

// A read-write connection of the test's own, as another process would hold it.
class OtherConnection
{
public:
    explicit OtherConnection(const QString& dbPath)
        : m_name(QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        db.open();
    }
    ~OtherConnection() { QSqlDatabase::removeDatabase(m_name); }
    OtherConnection(const OtherConnection&) = delete;
    OtherConnection& operator=(const OtherConnection&) = delete;

    // Empty on success, else the error.
    QString exec(const QString& sql)
    {
        QSqlQuery query(QSqlDatabase::database(m_name));
        return query.exec(sql) ? QString() : query.lastError().text();
    }

private:
    QString m_name;
};

// A small tmpfs mounted on a directory for the life of the object; needs root.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& path, const QString& size)
        : m_path(path)
    {
        QDir().mkpath(path);
        m_mounted = QProcess::execute(QStringLiteral("mount"),
                                      {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                       QStringLiteral("size=") + size, QStringLiteral("tmpfs"), path})
                    == 0;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_path});
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool isMounted() const { return m_mounted; }

private:
    QString m_path;
    bool m_mounted = false;
};

// Writes a file until the file system has no room left; true when it ran full.
bool fillUp(const QString& path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(4096, 'x');
    for (int i = 0; i < 1 << 20; ++i) {
        if (filler.write(block) != block.size() || !filler.flush())
            return true;
    }
    return false;
}

// The rows counted by the failure summaries among the daemon's lines.
int summarisedFailures(const QByteArray& err)
{
    static const QRegularExpression summary(QStringLiteral("^Critical: \"Failed to store (\\d+) rows? in table "),
                                            QRegularExpression::MultilineOption);
    int rows = 0;
    for (auto match = summary.globalMatch(QString::fromUtf8(err)); match.hasNext();)
        rows += match.next().captured(1).toInt();
    return rows;
}

} // namespace

class tst_StorageFaults : public QObject
{
    Q_OBJECT

private slots:
    void writeLockHeldByAnotherProcess();
    void failingInsertsAreReportedAndSurvived();
    void fullDiskLosesNothing();
    void lockHeldPastBusyTimeoutLosesNothing();
    void missingMetricsDirectoryReportedOnce();
};

void tst_StorageFaults::writeLockHeldByAnotherProcess()
{
    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    OtherConnection other(daemon.dbPath());
    QCOMPARE(other.exec(QStringLiteral("BEGIN IMMEDIATE")), QString());

    // Events keep arriving while the lock is held for two seconds.
    QUdpSocket sender;
    QStringList sent;
    QDeadlineTimer lock(2000);
    while (!lock.hasExpired()) {
        sent << QStringLiteral("locked-%1").arg(sent.size());
        QVERIFY(sendDatagram(sender, rebootDatagram(sent.last()), daemon.port()));
        QTest::qWait(50);
    }
    QVERIFY(queryRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots")).isEmpty());
    QCOMPARE(other.exec(QStringLiteral("COMMIT")), QString());

    const QString sql = QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID");
    QCOMPARE(firstColumn(waitForRows(daemon.dbPath(), sql, sent.size())), sent);
    QCOMPARE(daemon.stderrText().count("Critical:"), 0);
    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
}

void tst_StorageFaults::failingInsertsAreReportedAndSurvived()
{
    // Only -d: failures must be visible from the first verbosity level on.
    DaemonFixture fixture;
    fixture.configure();
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    QProcess& daemon = fixture.process();
    const QString dbPath = fixture.dbPath();
    const quint16 port = fixture.port();

    OtherConnection other(dbPath);
    QCOMPARE(other.exec(QStringLiteral("CREATE TRIGGER fault BEFORE INSERT ON reboots "
                                       "BEGIN SELECT RAISE(ABORT, 'simulated fault'); END")),
             QString());
    QUdpSocket sender;
    const int lost = 5;
    for (int i = 0; i < lost; ++i)
        QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("lost-%1").arg(i)), port));
    LogEvent unaffected;
    unaffected.mutable_dump()->set_timestamp(1);
    unaffected.mutable_dump()->set_taskname("stored-during-fault");
    QVERIFY(sendDatagram(sender, QByteArray::fromStdString(unaffected.SerializeAsString()), port));

    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += daemon.readAllStandardError(), summarisedFailures(err) >= lost), 20000);
    QCOMPARE(firstColumn(waitForRows(dbPath, QStringLiteral("SELECT taskname FROM coredumps"), 1)),
             QStringList{QStringLiteral("stored-during-fault")});
    QCOMPARE(daemon.state(), QProcess::Running);

    QCOMPARE(other.exec(QStringLiteral("DROP TRIGGER fault")), QString());
    const QStringList after{QStringLiteral("after-0"), QStringLiteral("after-1"), QStringLiteral("after-2")};
    for (const QString& issuer : after)
        QVERIFY(sendDatagram(sender, rebootDatagram(issuer), port));
    QCOMPARE(firstColumn(waitForRows(dbPath, QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID"), 3)), after);

    daemon.terminate();
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitCode(), 0);
    err += daemon.readAllStandardError();
    // Summaries naming the table, the cause and the count, fewer than the rows lost, then the counters of
    // the stop, and nothing else above debug level.
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString counters = lines.takeLast();
    QVERIFY2(counters.startsWith(QStringLiteral("Info: \"Counters at stop: ")), qPrintable(counters));
    QCOMPARE(summarisedFailures(err), lost);
    QVERIFY2(lines.size() < lost, err.constData());
    for (const QString& line : lines) {
        QVERIFY2(line.startsWith(QStringLiteral("Critical: \"Failed to store ")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral(" in table reboots: simulated fault")), qPrintable(line));
    }
}

void tst_StorageFaults::fullDiskLosesNothing()
{
    if (geteuid() != 0)
        QSKIP("Mounting a small file system needs root.");
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath(QStringLiteral("small"));
    SmallFileSystem small(mountPoint, QStringLiteral("4m"));
    QVERIFY(small.isMounted());
    const QString dbPath = mountPoint + QStringLiteral("/systemlog.db");
    DaemonFixture fixture;
    fixture.configure(dbPath);
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    QProcess& daemon = fixture.process();
    const quint16 port = fixture.port();
    const QString filler = mountPoint + QStringLiteral("/filler");
    QVERIFY(fillUp(filler));

    // Far more than the little room left: the rows must wait in the daemon's memory.
    QUdpSocket sender;
    QStringList sent;
    for (int i = 0; i < 3000; ++i) {
        sent << QStringLiteral("%1-").arg(i) + QString(1000, QLatin1Char('r'));
        QVERIFY(sendDatagram(sender, rebootDatagram(sent.last()), port));
        if (i % 100 == 99)
            QTest::qWait(5);
    }
    QByteArray err;
    QVERIFY2(waitForStderrLine(daemon, err, "Holding rows in memory"), err.constData());
    QCOMPARE(daemon.state(), QProcess::Running);

    QVERIFY(QFile::remove(filler));
    QVERIFY2(waitForStderrLine(daemon, err, "The database takes rows again", 30000), err.constData());
    const QString sql = QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID");
    QCOMPARE(firstColumn(waitForRows(dbPath, sql, sent.size())), sent);

    daemon.terminate();
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitCode(), 0);
    err += daemon.readAllStandardError();
    // One line when holding starts and one when it ends, then the counters of the stop; nothing lost, no
    // line per row.
    const QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("Info: \"Counters at stop: ")), qPrintable(lines.at(2)));
    // The disk may run full at a row or at the commit of a transaction.
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("Critical: \"Holding rows in memory until the database takes "
                                                   "them again: "))
                 && lines.at(0).contains(QStringLiteral("database or disk is full")),
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("Critical: \"The database takes rows again: stored ")),
             qPrintable(lines.at(1)));
}

void tst_StorageFaults::lockHeldPastBusyTimeoutLosesNothing()
{
    QTemporaryDir dir;
    const QString dbPath = dir.filePath(QStringLiteral("systemlog.db"));
    DaemonFixture fixture;
    fixture.configure(dbPath);
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    QProcess& daemon = fixture.process();
    const quint16 port = fixture.port();
    OtherConnection other(dbPath);
    QCOMPARE(other.exec(QStringLiteral("BEGIN IMMEDIATE")), QString());

    // Longer than the daemon's busy timeout of 10 s.
    QUdpSocket sender;
    QStringList sent;
    QDeadlineTimer lock(11500);
    while (!lock.hasExpired()) {
        sent << QStringLiteral("locked-%1").arg(sent.size());
        QVERIFY(sendDatagram(sender, rebootDatagram(sent.last()), port));
        QTest::qWait(100);
    }
    QByteArray err;
    QVERIFY2(waitForStderrLine(daemon, err, "Holding rows in memory"), err.constData());
    QCOMPARE(other.exec(QStringLiteral("COMMIT")), QString());
    sent << QStringLiteral("after");
    QVERIFY(sendDatagram(sender, rebootDatagram(sent.last()), port));

    const QString sql = QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID");
    QCOMPARE(firstColumn(waitForRows(dbPath, sql, sent.size(), 30000)), sent);
    QVERIFY2(waitForStderrLine(daemon, err, "The database takes rows again"), err.constData());
    QVERIFY2(err.contains("table reboots: database is locked"), err.constData());
    QCOMPARE(err.count("Critical:"), 2);
    daemon.terminate();
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitCode(), 0);
}

void tst_StorageFaults::missingMetricsDirectoryReportedOnce()
{
    DaemonFixture daemon;
    const QString metricsFile = daemon.configureMetrics();
    // No -d: the metrics file's trouble is reported whatever the verbosity.
    QVERIFY(daemon.startWith({QStringLiteral("-c"), daemon.configPath()}));
    QProcess& process = daemon.process();
    QByteArray err;
    QVERIFY2(waitForStderrLine(process, err, "metrics file"), err.constData());
    // Events are stored all the same, and the writes go on until the directory is there.
    QUdpSocket sender;
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("stored")), daemon.port()));
    QCOMPARE(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 1).size(), 1);
    QVERIFY(QDir().mkdir(QFileInfo(metricsFile).path()));
    QVERIFY2(waitForStderrLine(process, err, "again"), err.constData());
    const QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("Warning: \"Cannot write the metrics file \\\"%1\\\": ").arg(metricsFile)),
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(0).endsWith(QLatin1String("; retrying\"")), qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), QStringLiteral("Info: \"Wrote the metrics file \\\"%1\\\" again\"").arg(metricsFile));
    QCOMPARE(parseMetricsFile(metricsFile).value(QStringLiteral("tevriksystemlog_events_stored_total")).value, 1.0);
    QVERIFY(daemon.stop());
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_StorageFaults)
#include "tst_storagefaults.moc"
