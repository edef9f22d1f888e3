// The database side of faults: a database locked by another process, a full disk and statements
// that fail lose no event that could be stored.
#include "daemonfixture.h"
#include "faultsupport.h"
#include "logmessage.pb.h"
#include "metricsparser.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUdpSocket>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

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

// The encoding of one event carrying a generic record with the number, and with a core dump too when asked.
QByteArray numberedDatagram(quint64 number, bool withDump = false)
{
    LogEvent event;
    event.mutable_generic()->set_timestamp(1700000000000 + number);
    event.mutable_generic()->set_recordnumber(number);
    event.mutable_generic()->set_key("n");
    event.mutable_generic()->set_value("v");
    if (withDump) {
        event.mutable_dump()->set_timestamp(1700000000000 + number);
        event.mutable_dump()->set_taskname("task");
    }
    return QByteArray::fromStdString(event.SerializeAsString());
}

// Sends the datagrams of make(0), make(1), ... at about rate a second; the number sent.
int sendPaced(QUdpSocket& socket, quint16 port, int count, int rate, const std::function<QByteArray(int)>& make)
{
    QElapsedTimer elapsed;
    elapsed.start();
    int sent = 0;
    while (sent < count && !elapsed.hasExpired(60000)) {
        const int due = qMin<int>(count, int(elapsed.elapsed() * rate / 1000) + 1);
        while (sent < due && sendDatagram(socket, make(sent), port))
            ++sent;
        QThread::msleep(1);
    }
    return sent;
}

// How long the process takes to write a line that contains text after the signal; -1 past the deadline.
qint64 answerMs(QProcess& process, int signalNumber, const QByteArray& text, QByteArray& collected)
{
    QElapsedTimer elapsed;
    elapsed.start();
    if (!signalProcess(process, signalNumber) || !waitForStderrLine(process, collected, text, 10000))
        return -1;
    return elapsed.elapsed();
}

} // namespace

class tst_StorageFaults : public QObject
{
    Q_OBJECT

private slots:
    void lockHeldPastTheBusyTimeout();
    void failingInsertsAreReportedAndSurvived();
    void fullDiskLosesNothing();
    void failingCommitsKeepTheDaemonAnswering_data();
    void failingCommitsKeepTheDaemonAnswering();
    void countersMatchTheRows_data();
    void countersMatchTheRows();
    void refusesADatabaseItCannotWrite();
    void journalStaysBounded();
    void missingMetricsDirectoryReportedOnce();
};

// Past the short busy timeout the rows wait in memory, while the receive thread keeps the socket's buffer empty.
void tst_StorageFaults::lockHeldPastTheBusyTimeout()
{
    DaemonFixture fixture;
    fixture.configure();
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    OtherConnection other(fixture.dbPath());
    QCOMPARE(other.exec(QStringLiteral("BEGIN IMMEDIATE")), QString());

    // 1.5 s of 20,000 events a second under the lock, then 0.5 s more once it is gone.
    QUdpSocket sender;
    const auto numbered = [](int i) { return numberedDatagram(quint64(i)); };
    const int locked = sendPaced(sender, fixture.port(), 30000, 20000, numbered);
    QCOMPARE(locked, 30000);
    QCOMPARE(other.exec(QStringLiteral("COMMIT")), QString());
    const int total = locked + sendPaced(sender, fixture.port(), 10000, 20000, [](int i) {
                          return numberedDatagram(quint64(30000 + i));
                      });
    QVERIFY(waitFor([&] { return queryNumber(fixture.dbPath(), QStringLiteral("SELECT count(*) FROM generic")) == total; },
                    60000));
    QCOMPARE(receiveBufferDrops(fixture.port()), 0);
    const QList<QVariantList> rows =
        queryRows(fixture.dbPath(), QStringLiteral("SELECT recordNumber FROM generic ORDER BY rowID"));
    for (int i = 0; i < rows.size(); ++i)
        QCOMPARE(rows.at(i).value(0).toInt(), i);
    QByteArray& err = fixture.stderrText();
    QVERIFY2(waitForStderrLine(fixture.process(), err, "The database takes rows again"), err.constData());
    QVERIFY(fixture.stop());
    const QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), QStringLiteral("Critical: \"Holding rows in memory until the database takes them again: table "
                                         "generic: database is locked Unable to fetch row\""));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("Critical: \"The database takes rows again: stored ")),
             qPrintable(lines.at(1)));
    QCOMPARE(fixture.process().exitCode(), 0);
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

void tst_StorageFaults::failingCommitsKeepTheDaemonAnswering_data()
{
    QTest::addColumn<bool>("writesWorkAgain");

    QTest::newRow("writes work again") << true;
    QTest::newRow("stopped while they fail") << false;
}

// The files may not grow past 3 MiB, so the inserts of a transaction fit in the page cache and its COMMIT fails.
void tst_StorageFaults::failingCommitsKeepTheDaemonAnswering()
{
    QFETCH(bool, writesWorkAgain);

    DaemonFixture fixture;
    fixture.configure();
    QVERIFY(fixture.startThrough(QStringLiteral("trap '' XFSZ; exec prlimit --fsize=3145728:unlimited -- \"$0\" \"$@\""),
                                 {QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    QProcess& daemon = fixture.process();
    QUdpSocket sender;
    const int count = 9000;
    QCOMPARE(sendPaced(sender, fixture.port(), count, 20000,
                       [](int i) { return rebootDatagram(QStringLiteral("%1-").arg(i, 5, 10, QLatin1Char('0'))
                                                         + QString(1000, QLatin1Char('r'))); }),
             count);
    QByteArray err;
    QVERIFY2(waitForStderrLine(daemon, err, "Holding rows in memory until the database takes them again: "), err.constData());
    QVERIFY2(err.contains("disk I/O error"), err.constData());
    // The retries end at their first failed commit until the next second, so the event loop answers at once, over
    // several of them.
    for (QDeadlineTimer retries(2500); !retries.hasExpired(); QTest::qWait(250)) {
        const qint64 counters = answerMs(daemon, SIGUSR1, "Info: \"Counters: ", err);
        QVERIFY2(counters >= 0 && counters < 1000, qPrintable(QString::number(counters)));
    }

    const QString rowsSql = QStringLiteral("SELECT issuer FROM reboots ORDER BY rowID");
    if (writesWorkAgain) {
        QCOMPARE(QProcess::execute(QStringLiteral("prlimit"), {QStringLiteral("--pid"), QString::number(daemon.processId()),
                                                               QStringLiteral("--fsize=unlimited")}),
                 0);
        QVERIFY2(waitForStderrLine(daemon, err, "The database takes rows again", 30000), err.constData());
    }
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(signalProcess(daemon, SIGTERM));
    QVERIFY(daemon.waitForFinished(10000));
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(daemon.exitCode(), 0);
    err += daemon.readAllStandardError();

    // Whatever is stored is the first rows, in order; the rest were lost at the stop, and said so.
    const QStringList stored = firstColumn(queryRows(fixture.dbPath(), rowsSql));
    for (int i = 0; i < stored.size(); ++i)
        QVERIFY2(stored.at(i).startsWith(QStringLiteral("%1-").arg(i, 5, 10, QLatin1Char('0'))), qPrintable(stored.at(i).left(8)));
    const int lost = count - int(stored.size());
    QCOMPARE(lost == 0, writesWorkAgain);
    if (!writesWorkAgain)
        QVERIFY2(err.contains(QStringLiteral("Critical: \"Stopping: %1 held rows could not be stored and are lost\"")
                                  .arg(lost)
                                  .toUtf8()),
                 err.constData());
    QVERIFY2(err.contains(QStringLiteral("rows stored %1, rows failed 0, rows held 0, rows lost %2,")
                              .arg(stored.size())
                              .arg(lost)
                              .toUtf8()),
             err.constData());
}

void tst_StorageFaults::countersMatchTheRows_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("limits");

    QTest::newRow("events of two payloads") << "none" << "";
    QTest::newRow("rows refused by a trigger") << "trigger" << "";
    QTest::newRow("rows beyond the held rows' bound") << "lock" << "maxheld=1\n";
    QTest::newRow("rows held at the stop") << "stop" << "";
}

// The metrics file written at the stop against the rows that the database holds.
void tst_StorageFaults::countersMatchTheRows()
{
    QFETCH(QString, fault);
    QFETCH(QString, limits);

    DaemonFixture fixture;
    const QString metricsFile = fixture.configureMetrics();
    QVERIFY(QDir().mkpath(QFileInfo(metricsFile).path()));
    QFile config(fixture.configPath());
    QVERIFY(config.open(QIODevice::Append));
    config.write(limits.toUtf8());
    config.close();
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath(), QStringLiteral("-d")}));
    OtherConnection other(fixture.dbPath());
    if (fault == QLatin1String("trigger"))
        QCOMPARE(other.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON generic WHEN NEW.recordNumber % 10 = 3 "
                                           "BEGIN SELECT RAISE(ABORT, 'refused'); END")),
                 QString());
    if (fault == QLatin1String("lock") || fault == QLatin1String("stop"))
        QCOMPARE(other.exec(QStringLiteral("BEGIN IMMEDIATE")), QString());

    // Each event a generic record and a core dump, the records of 1 kB past the bound.
    const int events = fault == QLatin1String("lock") ? 3000 : 500;
    QUdpSocket sender;
    QCOMPARE(sendPaced(sender, fixture.port(), events, 20000, [&fault](int i) {
                 if (fault != QLatin1String("lock"))
                     return numberedDatagram(quint64(i), true);
                 LogEvent event;
                 event.mutable_generic()->set_timestamp(1);
                 event.mutable_generic()->set_recordnumber(quint64(i));
                 event.mutable_generic()->set_key("n");
                 event.mutable_generic()->set_value(std::string(1000, 'v'));
                 return QByteArray::fromStdString(event.SerializeAsString());
             }),
             events);
    if (fault == QLatin1String("lock") || fault == QLatin1String("stop")) {
        QVERIFY(waitFor([&] { return fixture.stderrText().contains("Holding rows in memory"); }));
        if (fault == QLatin1String("lock"))
            QVERIFY(waitFor([&] { return fixture.stderrText().contains("reached 1048576 bytes"); }));
    }
    if (fault == QLatin1String("lock"))
        QCOMPARE(other.exec(QStringLiteral("COMMIT")), QString());
    if (fault != QLatin1String("stop")) {
        QVERIFY(waitFor([&] {
            signalProcess(fixture.process(), SIGUSR1);
            QTest::qWait(100);
            return parseMetricsFile(metricsFile).value(QStringLiteral("tevriksystemlog_rows_held")).value == 0
                   && parseMetricsFile(metricsFile).value(QStringLiteral("tevriksystemlog_datagrams_received_total")).value
                          == events;
        }));
    }
    QVERIFY(fixture.stop());
    QCOMPARE(fixture.process().exitCode(), 0);

    const qint64 records = queryNumber(fixture.dbPath(), QStringLiteral("SELECT count(*) FROM generic"));
    const qint64 rows = records + queryNumber(fixture.dbPath(), QStringLiteral("SELECT count(*) FROM coredumps"));
    const QMap<QString, ParsedSample> metrics = parseMetricsFile(metricsFile);
    const auto value = [&metrics](const char* name) {
        return qint64(metrics.value(QStringLiteral("tevriksystemlog_") + QLatin1String(name)).value);
    };
    const qint64 rowsSent = fault == QLatin1String("lock") ? events : 2 * events;
    const qint64 refused = fault == QLatin1String("trigger") ? events / 10 : 0;
    QCOMPARE(value("datagrams_received_total"), qint64(events));
    QCOMPARE(value("rows_stored_total"), rows);
    QCOMPARE(value("rows_held"), 0);
    QCOMPARE(value("rows_failed_total"), refused);
    QCOMPARE(value("rows_lost_total"), rowsSent - rows);
    QCOMPARE(rows == rowsSent, fault == QLatin1String("none"));
    // An event is stored with its last row, the generic record.
    QCOMPARE(value("events_stored_total"), records);
    if (fault == QLatin1String("stop"))
        QVERIFY2(fixture.stderrText().contains(QStringLiteral("Stopping: %1 held rows could not be stored and are lost")
                                                   .arg(rowsSent)
                                                   .toUtf8()),
                 fixture.stderrText().constData());
}

// Refused at start, though the file opens: read-only to root on a file system mounted so, else by its mode.
void tst_StorageFaults::refusesADatabaseItCannotWrite()
{
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath(QStringLiteral("readonly"));
    std::unique_ptr<SmallFileSystem> readOnly;
    if (geteuid() == 0)
        readOnly = std::make_unique<SmallFileSystem>(mountPoint, QStringLiteral("1m"));
    else
        QVERIFY(QDir().mkpath(mountPoint));
    const QString dbPath = mountPoint + QStringLiteral("/systemlog.db");
    QCOMPARE(execStatements(dbPath, {QStringLiteral("CREATE TABLE reboots (rowID INTEGER PRIMARY KEY, time INTEGER)")}),
             QString());
    if (readOnly) {
        QVERIFY(readOnly->isMounted());
        QCOMPARE(QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,ro"), mountPoint}), 0);
    } else {
        QVERIFY(QFile::setPermissions(dbPath, QFile::ReadOwner));
        QVERIFY(QFile::setPermissions(mountPoint, QFile::ReadOwner | QFile::ExeOwner));
    }
    const QString config = dir.filePath(QStringLiteral("daemon.conf"));
    writeConfig(config, QStringLiteral("127.0.0.1"), QString::number(freeUdpPort()), dbPath);
    const RunResult result = runProgram(QStringLiteral(TEVRIKSYSTEMLOG_PATH), {QStringLiteral("-c"), config});
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QString::fromUtf8(result.err),
             QStringLiteral("Error: Cannot use database \"%1\": cannot write to it: attempt to write a readonly database; "
                            "let the daemon's user write to the file and to its directory\n")
                 .arg(dbPath));
    if (!readOnly)
        QFile::setPermissions(mountPoint, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// 40 MB of rows in 2 s: the checkpoints copy the journal into the database as rows come, and once they are done the
// journal starts again from its beginning and is cut back to 16 MiB.
void tst_StorageFaults::journalStaysBounded()
{
    DaemonFixture fixture;
    fixture.configure();
    QVERIFY(fixture.startWith({QStringLiteral("-c"), fixture.configPath()}));
    QUdpSocket sender;
    QCOMPARE(sendPaced(sender, fixture.port(), 40000, 20000,
                       [](int i) { return rebootDatagram(QStringLiteral("%1-").arg(i) + QString(1000, QLatin1Char('j'))); }),
             40000);
    QVERIFY(waitFor([&] { return queryNumber(fixture.dbPath(), QStringLiteral("SELECT count(*) FROM reboots")) == 40000; }));
    // The journal starts again at a transaction that begins after a checkpoint copied all of it.
    const QFileInfo journal(fixture.dbPath() + QStringLiteral("-wal"));
    QVERIFY(waitFor([&] {
        sendDatagram(sender, rebootDatagram(QStringLiteral("after")), fixture.port());
        QTest::qWait(100);
        return QFileInfo(journal.filePath()).size() <= 16 * 1024 * 1024;
    }, 10000));
    QVERIFY(fixture.stop());
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
