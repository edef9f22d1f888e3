#include "daemonfixture.h"
#include "faultsupport.h"
#include "localstore.h"
#include "masterpartitions.h"
#include "masterschema.h"
#include "pgtestserver.h"
#include "processrunner.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <functional>
#include <memory>

namespace {

const QStringList eventTables = {QStringLiteral("configuration"), QStringLiteral("coredumps"),
                                 QStringLiteral("reboots"),       QStringLiteral("watchdog"),
                                 QStringLiteral("joinlayer"),     QStringLiteral("specfile"),
                                 QStringLiteral("systemload"),    QStringLiteral("generic")};

// The rows of all event tables that satisfy a condition, as one SQL expression.
QString countAll(const QString& condition)
{
    QStringList parts;
    for (const QString& table : eventTables)
        parts << QStringLiteral("(SELECT COUNT(*) FROM %1 %2)").arg(table, condition);
    return QStringLiteral("SELECT ") + parts.join(QLatin1Char('+'));
}

qint64 localCount(const QString& dbPath, const QString& condition = QString())
{
    const QList<QVariantList> rows = queryRows(dbPath, countAll(condition));
    return rows.isEmpty() ? -1 : rows.first().value(0).toLongLong();
}

// The name of the day partition of a table that holds a time.
QString dayPartition(const QString& table, qint64 ms)
{
    return table + QStringLiteral("_p") + QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyyMMdd"));
}

// A local database, made by the daemon, with rows inserted by statements.
bool fillLocal(DaemonFixture& daemon, const QStringList& statements)
{
    if (!daemon.start() || !daemon.stop())
        return false;
    bool ok = true;
    {
        QSqlDatabase local = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("filler"));
        local.setDatabaseName(daemon.dbPath());
        ok = local.open();
        QSqlQuery query(local);
        for (const QString& statement : statements)
            ok = ok && query.exec(statement);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("filler"));
    return ok;
}

void writeForwarderConfig(const QString& path, const QString& dbPath, const QString& conninfo, int batchSize)
{
    writeConfig(path, QString(), QString(), dbPath);
    QFile file(path);
    QVERIFY(file.open(QIODevice::Append));
    // The password must never be shown: the server trusts the socket, so it does not matter for the login.
    file.write("[Master Database]\nconninfo=" + conninfo.toUtf8() + " password=secret-word\nbatchsize="
               + QByteArray::number(batchSize) + "\nmaxdelay=100\nmaxretrydelay=1000\n");
}

// One run of the forwarder at -d -d -d, its standard error collected.
class ForwarderProcess
{
public:
    explicit ForwarderProcess(const QString& configPath)
        : m_configPath(configPath)
    {
    }
    ~ForwarderProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    void start()
    {
        m_process.start(QStringLiteral(TEVRIKLOGFORWARD_PATH),
                        {QStringLiteral("-c"), m_configPath, QStringLiteral("-d"), QStringLiteral("-d"),
                         QStringLiteral("-d")});
        QVERIFY(m_process.waitForStarted());
    }
    bool waitForLine(const QByteArray& text) { return waitForStderrLine(m_process, m_err, text); }
    void signal(int signalNumber) { ::kill(static_cast<pid_t>(m_process.processId()), signalNumber); }
    // Ends the run with the signal; its exit code, or -1 after a crash or a hang.
    int end(int signalNumber)
    {
        signal(signalNumber);
        const bool finished = m_process.waitForFinished(30000);
        m_err += m_process.readAllStandardError();
        return finished && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    // Asks for the health line until it reports at least the given retries.
    bool waitForRetries(int retries)
    {
        static const QRegularExpression retriesText(QStringLiteral("(\\d+) retries;"));
        return waitFor([&] {
            const int lines = err().count("retries;");
            signal(SIGUSR1);
            if (!waitFor([&] { return err().count("retries;") > lines; }, 5000))
                return false;
            QRegularExpressionMatchIterator it = retriesText.globalMatch(QString::fromUtf8(m_err));
            int last = 0;
            while (it.hasNext())
                last = it.next().captured(1).toInt();
            return last >= retries;
        });
    }
    QByteArray& err()
    {
        m_err += m_process.readAllStandardError();
        return m_err;
    }

private:
    QString m_configPath;
    QProcess m_process;
    QByteArray m_err;
};

} // namespace

class tst_Forwarder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void testStorableText_data();
    void testStorableText();
    void testFaults_data();
    void testFaults();
    void testRefusedRows_data();
    void testRefusedRows();
    void testStartRefusals_data();
    void testStartRefusals();
    void testPartitions();
    void testConversion();
    void testRetention();

private:
    QStringList partitions(const QString& database, const QString& table)
    {
        return m_server->query(QStringLiteral("SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = "
                                              "i.inhrelid WHERE i.inhparent = '%1'::regclass ORDER BY 1")
                                   .arg(table),
                               database);
    }
    // Every row of the master once: as many keys as rows.
    bool eachRowOnce(const QString& database)
    {
        return masterCount(database)
               == m_server->number(countAll(QString()).replace(QStringLiteral("COUNT(*)"),
                                                               QStringLiteral("COUNT(DISTINCT (source, rowid))")),
                                   database);
    }
    QString freshDatabase(const QString& encoding = QStringLiteral("UTF8"));
    qint64 masterCount(const QString& database) { return m_server->number(countAll(QString()), database); }
    // True once every local row is marked sent and the master holds exactly the local rows.
    bool converged(const QString& database, const QString& dbPath);

    std::unique_ptr<PgTestServer> m_server;
    int m_databases = 0;
};

void tst_Forwarder::initTestCase()
{
    if (!PgTestServer::available())
        QSKIP("PostgreSQL 15 server binaries are not installed (Debian package postgresql-15)");
    m_server = std::make_unique<PgTestServer>();
    QVERIFY2(m_server->init(), qPrintable(m_server->errorString()));
}

void tst_Forwarder::init()
{
    // A test that failed with the server stopped must not fail the ones after it.
    if (m_server && !m_server->isRunning())
        QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
}

QString tst_Forwarder::freshDatabase(const QString& encoding)
{
    const QString name = QStringLiteral("master%1").arg(++m_databases);
    m_server->query(QStringLiteral("CREATE DATABASE %1 ENCODING '%2' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0")
                        .arg(name, encoding));
    return m_server->errorString().isEmpty() ? name : QString();
}

bool tst_Forwarder::converged(const QString& database, const QString& dbPath)
{
    return waitFor([&] {
        const qint64 sent = localCount(dbPath, QStringLiteral("WHERE sentToMasterDB = 1"));
        return localCount(dbPath, QStringLiteral("WHERE sentToMasterDB <> 1")) == 0 && sent > 0
               && masterCount(database) == sent;
    });
}

void tst_Forwarder::testStorableText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("storable");
    QTest::newRow("ascii") << QByteArray("abc") << true;
    QTest::newRow("two, three and four bytes") << QByteArray("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80") << true;
    QTest::newRow("highest code point") << QByteArray("\xF4\x8F\xBF\xBF") << true;
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << false;
    QTest::newRow("lone continuation byte") << QByteArray("\x80") << false;
    QTest::newRow("truncated sequence") << QByteArray("\xE2\x82") << false;
    QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << false;
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x80\xAF") << false;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
    QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
    QTest::newRow("latin-1 byte") << QByteArray("caf\xE9") << false;
}

void tst_Forwarder::testStorableText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, storable);
    QCOMPARE(isStorableText(bytes), storable);
}

enum Fault { UnreachableAtStart, MasterStopped, ConnectionCut, Killed, CommitReplyLost, StoppedMidBacklog, Twice };

void tst_Forwarder::testFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("master unreachable at start") << int(UnreachableAtStart);
    QTest::newRow("master stopped while events arrive") << int(MasterStopped);
    QTest::newRow("connection cut mid-batch, repeatedly") << int(ConnectionCut);
    QTest::newRow("forwarder killed mid-batch, repeatedly") << int(Killed);
    QTest::newRow("commit reply lost") << int(CommitReplyLost);
    QTest::newRow("stopped with a backlog") << int(StoppedMidBacklog);
    // Rows that the master already holds although this forwarder has not sent them.
    QTest::newRow("a second forwarder on the same database") << int(Twice);
}

void tst_Forwarder::testFaults()
{
    QFETCH(int, fault);
    const QString database = freshDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_server->errorString()));
    DaemonFixture daemon;
    QVERIFY(daemon.start());
    const QString config = daemon.dir() + QStringLiteral("/forward.conf");
    writeForwarderConfig(config, daemon.dbPath(), m_server->conninfo(database), 20);
    ForwarderProcess forwarder(config);
    ForwarderProcess second(config);

    QUdpSocket socket;
    qint64 sent = 0;
    int cuts = 0;
    // Sends in bursts that the daemon's receive buffer holds, each stored before the next.
    const auto send = [&](int count) {
        for (int i = 0; i < count; ++i) {
            QVERIFY(sendDatagram(socket, rebootDatagram(QStringLiteral("admin%1").arg(sent)), daemon.port()));
            if (++sent % 100 == 0 || i == count - 1)
                QVERIFY(waitFor([&] { return localCount(daemon.dbPath()) == sent; }));
        }
    };
    const auto marked = [&] { return localCount(daemon.dbPath(), QStringLiteral("WHERE sentToMasterDB = 1")); };

    switch (fault) {
    case UnreachableAtStart:
        QVERIFY(m_server->stop());
        send(200);
        forwarder.start();
        QVERIFY(forwarder.waitForLine("Cannot reach the master"));
        send(200);
        QVERIFY(m_server->start());
        QVERIFY(forwarder.waitForLine("again: 400 rows waiting"));
        break;
    case MasterStopped:
        forwarder.start();
        send(200);
        QVERIFY(converged(database, daemon.dbPath()));
        QVERIFY(m_server->stop());
        send(300);
        QVERIFY(forwarder.waitForLine("Cannot reach the master"));
        send(300);
        QVERIFY(forwarder.waitForRetries(4));
        QVERIFY(m_server->start());
        QVERIFY(forwarder.waitForLine("again: 600 rows waiting"));
        break;
    case ConnectionCut: {
        send(2000);
        forwarder.start();
        qint64 seen = 0;
        QVERIFY(waitFor([&] {
            const qint64 now = masterCount(database);
            if (now > seen && now < sent) {
                seen = now;
                cuts += m_server->number(QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM "
                                                        "pg_stat_activity WHERE application_name = 'tevriklogforward'"),
                                         database) > 0;
            }
            return cuts >= 5 || now == sent;
        }));
        QVERIFY(cuts >= 1);
        break;
    }
    case Killed:
        send(2000);
        for (int round = 0; round < 5; ++round) {
            const qint64 before = masterCount(database);
            forwarder.start();
            QVERIFY(waitFor([&] { return masterCount(database) > before; }));
            QCOMPARE(forwarder.end(SIGKILL), -1);
        }
        QVERIFY(masterCount(database) < sent);
        forwarder.start();
        break;
    case CommitReplyLost: {
        send(200);
        QVERIFY(m_server->stop());
        forwarder.start();
        QVERIFY(forwarder.waitForLine("Cannot reach the master"));
        // The lock holds the marking back once the master has committed the first batch; the second is written
        // while the first waits to be marked, the third waits for that marking.
        QSqlDatabase lock = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
        lock.setDatabaseName(daemon.dbPath());
        QVERIFY(lock.open());
        QVERIFY(QSqlQuery(lock).exec(QStringLiteral("BEGIN IMMEDIATE")));
        QVERIFY(m_server->start());
        QVERIFY(waitFor([&] { return masterCount(database) == 40; }));
        QCOMPARE(marked(), 0);
        QCOMPARE(forwarder.end(SIGKILL), -1);
        QVERIFY(QSqlQuery(lock).exec(QStringLiteral("ROLLBACK")));
        lock.close();
        lock = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("lock"));
        forwarder.start();
        break;
    }
    case StoppedMidBacklog:
        send(2000);
        forwarder.start();
        QVERIFY(waitFor([&] { return masterCount(database) > 0; }));
        QCOMPARE(forwarder.end(SIGTERM), 0);
        QVERIFY(marked() < sent);
        // Nothing half-marked: exactly the rows on the master are marked.
        QCOMPARE(masterCount(database), marked());
        forwarder.start();
        break;
    case Twice:
        send(2000);
        second.start();
        forwarder.start();
        QVERIFY2(converged(database, daemon.dbPath()), second.err().constData());
        QCOMPARE(second.end(SIGTERM), 0);
        QVERIFY2(!second.err().contains("Cannot"), second.err().constData());
        // Started again, it finds nothing left to send.
        QCOMPARE(forwarder.end(SIGTERM), 0);
        forwarder.start();
        QVERIFY(waitFor([&] { return forwarder.err().count("Forwarding to the master") == 2; }));
        break;
    }

    QVERIFY2(converged(database, daemon.dbPath()), forwarder.err().constData());
    QCOMPARE(masterCount(database), sent);
    forwarder.signal(SIGUSR1);
    QVERIFY(forwarder.waitForLine(QByteArray("Forwarded ")));
    QVERIFY(forwarder.waitForLine(QByteArray("; 0 rows waiting, oldest waiting none;")));
    QCOMPARE(forwarder.end(SIGTERM), 0);
    // One warning per loss and one line per return, never one per retry.
    const int losses = forwarder.err().count("Cannot reach the master");
    QCOMPARE(forwarder.err().count("again:"), losses);
    if (fault == UnreachableAtStart || fault == MasterStopped || fault == CommitReplyLost)
        QCOMPARE(losses, 1);
    else if (fault == ConnectionCut)
        QVERIFY(losses >= 1 && losses <= cuts);
    else
        QCOMPARE(losses, 0);
    QVERIFY(!forwarder.err().contains("secret-word"));
    QVERIFY(!forwarder.err().contains("set aside"));
}

void tst_Forwarder::testRefusedRows_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("insert");
    QTest::addColumn<QString>("masterQuery");
    // The master's answer when the row is stored, or the local reason when it is set aside.
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("expected");

    const QString utf8 = QStringLiteral("UTF8");
    QTest::newRow("NUL in text") << utf8 << "reboots"
                                 << "INSERT INTO reboots (time, issuer) VALUES (1000, 'a' || char(0) || 'b')"
                                 << "" << false << "issuer holds a NUL character";
    QTest::newRow("invalid UTF-8") << utf8 << "coredumps"
                                   << "INSERT INTO coredumps (time, taskname) VALUES (1000, CAST(X'C328' AS TEXT))"
                                   << "" << false << "taskname is not valid UTF-8";
    QTest::newRow("encoded surrogate") << utf8 << "watchdog"
                                       << "INSERT INTO watchdog (time, triggeredBy) VALUES (1000, CAST(X'EDA080' AS TEXT))"
                                       << "" << false << "triggeredBy is not valid UTF-8";
    QTest::newRow("text in the time column") << utf8 << "reboots"
                                             << "INSERT INTO reboots (time, issuer) VALUES ('soon', 'x')" << ""
                                             << false << "time holds a text value";
    QTest::newRow("real in the time column") << utf8 << "systemload"
                                             << "INSERT INTO systemload (time, sysload) VALUES (1.5, 'x')" << ""
                                             << false << "time holds a real value";
    QTest::newRow("blob as record number")
        << utf8 << "generic" << "INSERT INTO generic (time, recordNumber, key, value) VALUES (1, X'01', 'k', 'v')"
        << "" << false << "recordNumber holds a blob value";
    QTest::newRow("time beyond timestamptz")
        << utf8 << "reboots" << "INSERT INTO reboots (time, issuer) VALUES (9224318016000000, 'late')"
        << "SELECT issuer || ' ' || time || ' ' || (at IS NULL) FROM reboots WHERE rowid = 1" << true
        << "late 9224318016000000 true";
    QTest::newRow("earliest timestamptz")
        << utf8 << "reboots" << "INSERT INTO reboots (time, issuer) VALUES (-210866803199999, 'early')"
        << "SELECT issuer || ' ' || to_char(at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS BC') FROM reboots "
           "WHERE rowid = 1"
        << true << "early 4714-11-24 00:00:00.001 BC";
    QTest::newRow("unsigned record number")
        << utf8 << "generic" << "INSERT INTO generic (time, recordNumber, key, value) VALUES (1, -1, 'k', 'v')"
        << "SELECT recordnumber FROM generic WHERE rowid = 1" << true << "-1";
    QTest::newRow("text held as a blob") << utf8 << "joinlayer"
                                         << "INSERT INTO joinlayer (time, taskName) VALUES (1000, X'C3A9')"
                                         << "SELECT taskname FROM joinlayer WHERE rowid = 1" << true
                                         << QString::fromUtf8("\xC3\xA9");
    QTest::newRow("tab, newline, carriage return and backslash")
        << utf8 << "specfile"
        << "INSERT INTO specfile (time, taskname, specfile) VALUES (1000, 'a' || char(9) || 'b' || char(10) || 'c' || "
           "char(13) || '\\N', 'f')"
        << "SELECT taskname FROM specfile WHERE rowid = 1" << true << "a\tb\nc\r\\N";
    QTest::newRow("text a LATIN1 master cannot hold")
        << "LATIN1" << "reboots" << QString::fromUtf8("INSERT INTO reboots (time, issuer) VALUES (1000, '\xE6\x97\xA5')")
        << "" << false << "the master refused it";
    QTest::newRow("text a LATIN1 master converts")
        << "LATIN1" << "reboots" << QString::fromUtf8("INSERT INTO reboots (time, issuer) VALUES (1000, '\xC3\xA9')")
        << "SELECT issuer FROM reboots WHERE rowid = 1" << true << QString::fromUtf8("\xC3\xA9");
}

void tst_Forwarder::testRefusedRows()
{
    QFETCH(QString, encoding);
    QFETCH(QString, table);
    QFETCH(QString, insert);
    QFETCH(QString, masterQuery);
    QFETCH(bool, stored);
    QFETCH(QString, expected);

    const QString database = freshDatabase(encoding);
    QVERIFY2(!database.isEmpty(), qPrintable(m_server->errorString()));
    DaemonFixture daemon;
    QVERIFY(daemon.start());
    QVERIFY(daemon.stop());
    {
        QSqlDatabase local = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        local.setDatabaseName(daemon.dbPath());
        QVERIFY(local.open());
        QSqlQuery query(local);
        QVERIFY2(query.exec(insert), qPrintable(query.lastError().text()));
        // The row after the odd one must not wait behind it.
        QVERIFY(query.exec(QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (2000, 'after')")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));

    const QString config = daemon.dir() + QStringLiteral("/forward.conf");
    writeForwarderConfig(config, daemon.dbPath(), m_server->conninfo(database), 5000);
    ForwarderProcess forwarder(config);
    forwarder.start();
    QVERIFY2(waitFor([&] {
                 return m_server->number(QStringLiteral("SELECT count(*) FROM reboots WHERE issuer = 'after'"),
                                         database)
                        == 1;
             }),
             forwarder.err().constData());
    QCOMPARE(forwarder.end(SIGTERM), 0);

    const QList<QVariantList> mark =
        queryRows(daemon.dbPath(), QStringLiteral("SELECT sentToMasterDB FROM %1 WHERE rowID = 1").arg(table));
    QCOMPARE(mark.value(0).value(0).toInt(), stored ? 1 : 2);
    const QByteArray report = QStringLiteral("Row 1 of table %1 set aside (sentToMasterDB = 2): ").arg(table).toUtf8();
    if (stored) {
        QCOMPARE(m_server->query(masterQuery, database).value(0), expected);
        QVERIFY(!forwarder.err().contains(report));
    } else {
        QCOMPARE(forwarder.err().count(report), 1);
        QVERIFY2(forwarder.err().contains(report + expected.toUtf8()), forwarder.err().constData());
    }
    QCOMPARE(localCount(daemon.dbPath(), QStringLiteral("WHERE sentToMasterDB = 0")), 0);
}

void tst_Forwarder::testStartRefusals_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("no conninfo") << QByteArray("[Master Database]\nbatchsize=10\n")
                                 << QByteArray("Error: Master Database/conninfo is not set in");
    QTest::newRow("batch size zero")
        << QByteArray("[Master Database]\nconninfo=dbname=x\nbatchsize=0\n")
        << QByteArray("Error: Master Database/batchsize must be a whole number from 1 to 1000000, not \"0\"");
    QTest::newRow("delay not a number")
        << QByteArray("[Master Database]\nconninfo=dbname=x\nmaxdelay=soon\n")
        << QByteArray("Error: Master Database/maxdelay must be a whole number from 0 to 3600000, not \"soon\"");
    QTest::newRow("empty host") << QByteArray("[Master Database]\nconninfo=dbname=x\nhost=\n")
                                << QByteArray("Error: Master Database/host is empty");
    QTest::newRow("database missing") << QByteArray("[Master Database]\nconninfo=dbname=x\n")
                                      << QByteArray("Error: Cannot use database \"");
}

void tst_Forwarder::testStartRefusals()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, error);
    QTemporaryDir dir;
    const QString dbPath = dir.filePath(QStringLiteral("absent.db"));
    const QString path = dir.filePath(QStringLiteral("forward.conf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[General Settings]\ndbpath=" + dbPath.toUtf8() + "\n" + config);
    file.close();
    const RunResult result = runProgram(QStringLiteral(TEVRIKLOGFORWARD_PATH), {QStringLiteral("-c"), path});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(result.err.startsWith(error), result.err.constData());
    // A refused start creates no database.
    QVERIFY(!QFile::exists(dbPath));
}

void tst_Forwarder::testPartitions()
{
    const QString database = freshDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_server->errorString()));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // A row that went to the default partition before its day had a partition moves into it when the day gets one.
    m_server->query(masterSchemaSql(1), database);
    m_server->query(QStringLiteral("INSERT INTO reboots (source, hostname, rowid, time, issuer) VALUES "
                                   "('00000000-0000-0000-0000-00000000000a', 'early', 1, %1, 'early')")
                        .arg(now - 5 * dayMs),
                    database);
    QVERIFY2(m_server->errorString().isEmpty(), qPrintable(m_server->errorString()));

    // Several forwarders started together, each with a backlog of old days, and times no day partition is for.
    std::vector<std::unique_ptr<DaemonFixture>> daemons;
    std::vector<std::unique_ptr<ForwarderProcess>> forwarders;
    for (int i = 0; i < 4; ++i) {
        daemons.push_back(std::make_unique<DaemonFixture>());
        DaemonFixture& daemon = *daemons.back();
        QStringList statements;
        for (const qint64 age : {0, 10, 40})
            statements << QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, 'r')").arg(now - age * dayMs);
        statements << QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, 'r')").arg(now - 5 * dayMs + 1)
                   << QStringLiteral("INSERT INTO coredumps (time, taskname) VALUES (%1, 'old')").arg(now - 400 * dayMs)
                   << QStringLiteral("INSERT INTO generic (time, recordNumber, key, value) VALUES (1000, 1, 'k', 'v')");
        QVERIFY(fillLocal(daemon, statements));
        const QString config = daemon.dir() + QStringLiteral("/forward.conf");
        writeForwarderConfig(config, daemon.dbPath(), m_server->conninfo(database), 2);
        forwarders.push_back(std::make_unique<ForwarderProcess>(config));
    }
    for (auto& forwarder : forwarders)
        forwarder->start();
    QVERIFY2(waitFor([&] {
                 return masterCount(database) == 4 * 6 + 1
                        && std::all_of(daemons.cbegin(), daemons.cend(), [](const auto& daemon) {
                               return localCount(daemon->dbPath(), QStringLiteral("WHERE sentToMasterDB <> 1")) == 0;
                           });
             }),
             forwarders.front()->err().constData());
    for (auto& forwarder : forwarders) {
        QCOMPARE(forwarder->end(SIGTERM), 0);
        QVERIFY2(!forwarder->err().contains("Cannot"), forwarder->err().constData());
        QVERIFY(!forwarder->err().contains("without partitions"));
    }
    QVERIFY(eachRowOnce(database));

    QStringList ahead;
    for (int day = 0; day <= MasterPartitions::daysAhead; ++day)
        ahead << dayPartition(QStringLiteral("coredumps"), now + day * dayMs);
    QStringList coredumps = ahead;
    coredumps << QStringLiteral("coredumps_default");
    coredumps.sort();
    QCOMPARE(partitions(database, QStringLiteral("coredumps")), coredumps);
    QStringList reboots = ahead.replaceInStrings(QStringLiteral("coredumps"), QStringLiteral("reboots"));
    for (const qint64 age : {5, 10, 40})
        reboots << dayPartition(QStringLiteral("reboots"), now - age * dayMs);
    reboots << QStringLiteral("reboots_default");
    reboots.sort();
    QCOMPARE(partitions(database, QStringLiteral("reboots")), reboots);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM %1").arg(dayPartition("reboots", now - 5 * dayMs)),
                              database),
             5);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM reboots_default"), database), 0);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM coredumps_default"), database), 4);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM generic_default"), database), 4);
}

void tst_Forwarder::testConversion()
{
    const QString database = freshDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_server->errorString()));
    QFile earlier(QStringLiteral(EARLIER_MASTER_SCHEMA));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    m_server->query(QString::fromUtf8(earlier.readAll()), database);
    QVERIFY2(m_server->errorString().isEmpty(), qPrintable(m_server->errorString()));

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    DaemonFixture daemon;
    QStringList statements;
    for (int i = 0; i < 300; ++i)
        statements << QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, 'r%2')").arg(now - (i % 3) * dayMs).arg(i);
    statements << QStringLiteral("INSERT INTO coredumps (time, taskname) VALUES (%1, 'old')").arg(now - 400 * dayMs);
    QVERIFY(fillLocal(daemon, statements));
    const QString config = daemon.dir() + QStringLiteral("/forward.conf");
    writeForwarderConfig(config, daemon.dbPath(), m_server->conninfo(database), 20);
    ForwarderProcess forwarder(config);
    forwarder.start();
    QVERIFY(waitFor([&] { return masterCount(database) > 100; }));

    // Converted while the forwarder goes on: it waits for the conversion and then writes into the partitions.
    const RunResult converted =
        runProgram(QStringLiteral(TEVRIKLOGFORWARD_PATH), {QStringLiteral("-c"), config, QStringLiteral("--convert-master")});
    QVERIFY2(converted.exitCode == 0, converted.err.constData());
    QVERIFY2(converted.err.contains("Info: \"Converted table reboots: 300 rows in 6 partitions and the default one\"\n"),
             converted.err.constData());
    QVERIFY(converted.err.contains("Info: \"Converted table coredumps: 1 rows in 4 partitions and the default one\"\n"));
    QVERIFY(converted.err.endsWith(" is partitioned\"\n"));
    QVERIFY2(converged(database, daemon.dbPath()), forwarder.err().constData());
    QCOMPARE(masterCount(database), 301);
    QVERIFY(eachRowOnce(database));
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM pg_class WHERE relname IN ('%1') AND relkind = 'p'")
                                  .arg(eventTables.join(QStringLiteral("', '"))),
                              database),
             eventTables.size());
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM pg_class WHERE relname LIKE '%unpartitioned%'"),
                              database),
             0);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM %1").arg(dayPartition("reboots", now - 2 * dayMs)),
                              database),
             100);
    QCOMPARE(m_server->number(QStringLiteral("SELECT count(*) FROM coredumps_default"), database), 1);
    QCOMPARE(forwarder.end(SIGTERM), 0);
    QCOMPARE(forwarder.err().count("has tables without partitions, made by an earlier version; forwarding into "
                                   "them. Convert it with tevriklogforward --convert-master\"\n"),
             1);
    QVERIFY2(!forwarder.err().contains("Cannot"), forwarder.err().constData());

    const RunResult again =
        runProgram(QStringLiteral(TEVRIKLOGFORWARD_PATH), {QStringLiteral("-c"), config, QStringLiteral("--convert-master")});
    QCOMPARE(again.exitCode, 0);
    QVERIFY(!again.err.contains("Converted table"));
    QCOMPARE(masterCount(database), 301);
}

void tst_Forwarder::testRetention()
{
    const QString database = freshDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_server->errorString()));
    m_server->query(masterSchemaSql(1), database);
    // Partitions on both sides of the edge of a window of 30 days, made by hand at a minute from it.
    const qint64 edge = QDateTime::currentMSecsSinceEpoch() - 30 * dayMs;
    const QString insert = QStringLiteral("INSERT INTO reboots (source, hostname, rowid, time, issuer) VALUES "
                                          "('00000000-0000-0000-0000-00000000000a', 'h', %1, %2, 'x');");
    m_server->query(QStringLiteral("CREATE TABLE reboots_ended PARTITION OF reboots FOR VALUES FROM (%1) TO (%2);"
                                   "CREATE TABLE reboots_inside PARTITION OF reboots FOR VALUES FROM (%2) TO (%3);")
                            .arg(edge - dayMs - 60000)
                            .arg(edge - 60000)
                            .arg(edge + 60000)
                        + insert.arg(1).arg(edge - 60001) + insert.arg(2).arg(edge - 59999)
                        + insert.arg(3).arg(edge - 10 * dayMs) + insert.arg(4).arg(edge + 400 * dayMs),
                    database);
    QVERIFY2(m_server->errorString().isEmpty(), qPrintable(m_server->errorString()));

    DaemonFixture daemon;
    QVERIFY(fillLocal(daemon, {QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, 'now')")
                                   .arg(QDateTime::currentMSecsSinceEpoch())}));
    const QString config = daemon.dir() + QStringLiteral("/forward.conf");
    writeForwarderConfig(config, daemon.dbPath(), m_server->conninfo(database), 20);
    {
        QFile file(config);
        QVERIFY(file.open(QIODevice::Append));
        file.write("retention=30\n");
    }
    const auto iso = [](qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs); };
    // The hand-made rows are of a source of their own.
    const auto forwarded = [&] {
        return waitFor([&] {
            return localCount(daemon.dbPath(), QStringLiteral("WHERE sentToMasterDB <> 1")) == 0
                   && m_server->number(QStringLiteral("SELECT count(*) FROM reboots WHERE hostname <> 'h'"), database)
                          == localCount(daemon.dbPath());
        });
    };
    ForwarderProcess forwarder(config);
    forwarder.start();
    QVERIFY2(forwarder.waitForLine(QStringLiteral("Dropped partition reboots_ended of the master, its rows from "
                                                  "%1 to %2, older than the retention of 30 days")
                                       .arg(iso(edge - dayMs - 60000), iso(edge - 60000))
                                       .toUtf8()),
             forwarder.err().constData());
    QVERIFY(forwarded());
    QCOMPARE(forwarder.end(SIGTERM), 0);
    QCOMPARE(forwarder.err().count("Dropped partition"), 1);
    QCOMPARE(forwarder.err().count(" rows before "), 1);
    QVERIFY(!partitions(database, QStringLiteral("reboots")).contains(QStringLiteral("reboots_ended")));
    QCOMPARE(m_server->query(QStringLiteral("SELECT string_agg(rowid::text, ' ' ORDER BY rowid) FROM reboots WHERE "
                                            "source = '00000000-0000-0000-0000-00000000000a'"),
                             database),
             QStringList{QStringLiteral("2 4")});

    // Within the hour the master ran it, no forwarder runs it again.
    m_server->query(QStringLiteral("CREATE TABLE reboots_ended2 PARTITION OF reboots FOR VALUES FROM (%1) TO (%2)")
                        .arg(edge - 2 * dayMs - 60000)
                        .arg(edge - dayMs - 60000),
                    database);
    QVERIFY(fillLocal(daemon, {QStringLiteral("INSERT INTO reboots (time, issuer) VALUES (%1, 'later')")
                                   .arg(QDateTime::currentMSecsSinceEpoch())}));
    const int before = forwarder.err().size();
    forwarder.start();
    QVERIFY(forwarded());
    QCOMPARE(forwarder.end(SIGTERM), 0);
    QVERIFY2(!forwarder.err().mid(before).contains("Dropped"), forwarder.err().constData());
    QVERIFY(partitions(database, QStringLiteral("reboots")).contains(QStringLiteral("reboots_ended2")));
}

QTEST_GUILESS_MAIN(tst_Forwarder)
#include "tst_forwarder.moc"
