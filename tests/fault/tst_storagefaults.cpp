// The database side of faults: a killed daemon, a database locked by another process and
// statements that fail leave no damage and lose no event that could be stored.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "logmessage.pb.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUdpSocket>
#include <QUuid>
#include <QtTest>

namespace {

QByteArray genericDatagram(quint64 record)
{
    LogEvent event;
    GenericLogMsg* generic = event.mutable_generic();
    generic->set_timestamp(1);
    generic->set_recordnumber(record);
    generic->set_key("key-" + std::to_string(record));
    generic->set_value("value-" + std::to_string(record));
    return QByteArray::fromStdString(event.SerializeAsString());
}

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

} // namespace

class TestStorageFaults : public QObject
{
    Q_OBJECT

private slots:
    void killedDuringStreamLeavesSoundDatabase();
    void writeLockHeldByAnotherProcess();
    void failingInsertsAreReportedAndSurvived();
};

void TestStorageFaults::killedDuringStreamLeavesSoundDatabase()
{
    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    QUdpSocket sender;
    const QString countSql = QStringLiteral("SELECT rowID FROM generic");
    quint64 sent = 0;
    // Keep the stream flowing until enough rows are in, then kill the daemon in the middle of it.
    QDeadlineTimer deadline(60000);
    while (queryRows(daemon.dbPath(), countSql).size() < 500 && !deadline.hasExpired()) {
        for (const quint64 batchEnd = sent + 100; sent < batchEnd; ++sent)
            QVERIFY(sendDatagram(sender, genericDatagram(sent), daemon.port()));
        QTest::qWait(1);
    }
    for (const quint64 batchEnd = sent + 200; sent < batchEnd; ++sent)
        QVERIFY(sendDatagram(sender, genericDatagram(sent), daemon.port()));
    daemon.kill();
    QCOMPARE(daemon.process().exitStatus(), QProcess::CrashExit);

    const QList<QVariantList> integrity = queryRows(daemon.dbPath(), QStringLiteral("PRAGMA integrity_check"));
    QCOMPARE(firstColumn(integrity), QStringList{QStringLiteral("ok")});
    // Every row that made it is whole: its three columns belong to one event.
    const QList<QVariantList> rows = queryRows(
        daemon.dbPath(), QStringLiteral("SELECT recordNumber, key, value FROM generic ORDER BY rowID"));
    QVERIFY(rows.size() >= 500);
    for (const QVariantList& row : rows) {
        const QString record = row.at(0).toString();
        QCOMPARE(row.at(1).toString(), QStringLiteral("key-") + record);
        QCOMPARE(row.at(2).toString(), QStringLiteral("value-") + record);
        QVERIFY(row.at(0).toULongLong() < sent);
    }

    // A new daemon carries on with the same file; the readiness line must be its own.
    daemon.stderrText().clear();
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    QVERIFY(sendDatagram(sender, rebootDatagram(QStringLiteral("after-kill")), daemon.port()));
    QCOMPARE(firstColumn(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 1)),
             QStringList{QStringLiteral("after-kill")});
    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
}

void TestStorageFaults::writeLockHeldByAnotherProcess()
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

void TestStorageFaults::failingInsertsAreReportedAndSurvived()
{
    // Only -d: failures must be visible from the first verbosity level on.
    QTemporaryDir dir;
    const QString dbPath = dir.filePath(QStringLiteral("systemlog.db"));
    const QString configPath = dir.filePath(QStringLiteral("tevriksystemlog.conf"));
    const quint16 port = freeUdpPort();
    writeConfig(configPath, QStringLiteral("127.0.0.1"), QString::number(port), dbPath);
    QProcess daemon;
    QVERIFY(startDaemon(daemon, configPath, dbPath, {QStringLiteral("-d")}));

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
    QTRY_VERIFY_WITH_TIMEOUT((err += daemon.readAllStandardError(), err.count("Critical:") >= lost), 20000);
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
    // One critical line per lost row, naming the table and the cause, then the counters of the stop, and
    // nothing else above debug level.
    QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!lines.isEmpty());
    const QString counters = lines.takeLast();
    QVERIFY2(counters.startsWith(QStringLiteral("Info: \"Counters at stop: ")), qPrintable(counters));
    QCOMPARE(lines.size(), lost);
    for (const QString& line : lines) {
        QVERIFY2(line.startsWith(QStringLiteral("Critical: ")), qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("reboots")) && line.contains(QStringLiteral("simulated fault")),
                 qPrintable(line));
    }
}

QTEST_GUILESS_MAIN(TestStorageFaults)
#include "tst_storagefaults.moc"
