// Events typed on the sender's command line end up as rows of the daemon's database.
#include "comparelines.h"
#include "daemonfixture.h"
#include "faultsupport.h"
#include "processrunner.h"

#include <QDateTime>
#include <QDir>
#include <QUdpSocket>
#include <QtTest>

class tst_SendAndStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void eventBecomesRow_data();
    void eventBecomesRow();
    void eventsKeepArrivalOrder();
    void debugLinesInOrderWithTheReceiveThread();

private:
    DaemonFixture m_daemon;
};

void tst_SendAndStore::initTestCase()
{
    QVERIFY2(m_daemon.start(), m_daemon.stderrText().constData());
}

void tst_SendAndStore::cleanupTestCase()
{
    QVERIFY(m_daemon.stop());
    QCOMPARE(m_daemon.process().exitStatus(), QProcess::NormalExit);
}

void tst_SendAndStore::eventBecomesRow_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("columns");
    QTest::addColumn<QVariantList>("expected");

    const auto m = [](std::initializer_list<const char*> values) {
        QStringList args;
        for (const char* value : values)
            args << QStringLiteral("-m") << QString::fromUtf8(value);
        return args;
    };
    const auto t = [](const char* type) { return QStringList{QStringLiteral("-t"), QString::fromLatin1(type)}; };

    QTest::newRow("coredump") << t("coredump") + m({"task-cd"}) << "coredumps"
                              << "taskname" << QVariantList{"task-cd"};
    QTest::newRow("reboot") << t("reboot") + m({"admin-rb"}) << "reboots"
                            << "issuer" << QVariantList{"admin-rb"};
    QTest::newRow("watchdog") << t("watchdog") + m({"wd-trigger"}) << "watchdog"
                              << "triggeredBy" << QVariantList{"wd-trigger"};
    QTest::newRow("joinlayer into taskName") << t("joinlayer") + m({"task-jl"}) << "joinlayer"
                                             << "taskName" << QVariantList{"task-jl"};
    QTest::newRow("specfile in value order") << t("specfile") + m({"task-sf", "file.spec"}) << "specfile"
                                             << "taskname, specfile" << QVariantList{"task-sf", "file.spec"};
    QTest::newRow("specfile values swapped") << t("specfile") + m({"swapped.spec", "task-sw"}) << "specfile"
                                             << "taskname, specfile" << QVariantList{"swapped.spec", "task-sw"};
    QTest::newRow("sysload") << t("sysload") + m({"load 0.5"}) << "systemload"
                             << "sysload" << QVariantList{"load 0.5"};
    QTest::newRow("machineconfig") << t("machineconfig") + m({"hw", "6.1", "rpms", "2.0", "10G"}) << "configuration"
                                   << "hardwareconf, linuxver, rpmsinstalled, tevrikversion, diskspace"
                                   << QVariantList{"hw", "6.1", "rpms", "2.0", "10G"};
    QTest::newRow("generic with zero bytes") << t("generic") + m({"0", "key-zero", ""}) << "generic"
                                             << "recordNumber, key, value" << QVariantList{0, "key-zero", ""};
    QTest::newRow("empty values") << t("specfile") + m({"", ""}) << "specfile"
                                  << "taskname, specfile" << QVariantList{"", ""};
    QTest::newRow("utf-8 text") << t("reboot") + m({"Grüße ✓"}) << "reboots"
                                << "issuer" << QVariantList{QString::fromUtf8("Grüße ✓")};
    QTest::newRow("extra values dropped") << t("watchdog") + m({"wd-first", "wd-extra"}) << "watchdog"
                                          << "triggeredBy" << QVariantList{"wd-first"};
}

void tst_SendAndStore::eventBecomesRow()
{
    QFETCH(QStringList, args);
    QFETCH(QString, table);
    QFETCH(QString, columns);
    QFETCH(QVariantList, expected);

    const QString sql = QStringLiteral("SELECT %1, time, sentToMasterDB FROM %2 ORDER BY rowID").arg(columns, table);
    const int before = queryRows(m_daemon.dbPath(), sql).size();
    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(m_daemon.send(args), 0);
    const qint64 finishedAt = QDateTime::currentMSecsSinceEpoch();

    const QList<QVariantList> rows = waitForRows(m_daemon.dbPath(), sql, before + 1);
    QCOMPARE(rows.size(), before + 1);
    QVariantList row = rows.last();
    const qint64 time = row.takeAt(expected.size()).toLongLong();
    QCOMPARE(row.takeLast().toInt(), 0);
    QVERIFY2(time >= startedAt && time <= finishedAt, qPrintable(QString::number(time)));
    QCOMPARE(row.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(row.at(i).toString(), expected.at(i).toString());
}

void tst_SendAndStore::eventsKeepArrivalOrder()
{
    const QString sql = QStringLiteral("SELECT issuer FROM reboots WHERE issuer LIKE 'order-%' ORDER BY rowID");
    const QStringList issuers{"order-1", "order-2", "order-3", "order-4"};
    for (const QString& issuer : issuers)
        QCOMPARE(m_daemon.send({"-t", "reboot", "-m", issuer}), 0);

    const QList<QVariantList> rows = waitForRows(m_daemon.dbPath(), sql, issuers.size());
    QStringList stored;
    for (const QVariantList& row : rows)
        stored << row.first().toString();
    QCOMPARE(stored, issuers);
}

void tst_SendAndStore::debugLinesInOrderWithTheReceiveThread()
{
    // The daemon runs at -d -d -d, and its receive thread reads the socket as at every verbosity.
    const QString tasks = QStringLiteral("/proc/%1/task").arg(m_daemon.process().processId());
    QStringList threads;
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks + QLatin1Char('/') + task + QStringLiteral("/comm"));
        if (name.open(QIODevice::ReadOnly))
            threads << QString::fromUtf8(name.readAll()).trimmed();
    }
    QVERIFY2(threads.contains(QStringLiteral("tevrik-receive")), qPrintable(threads.join(QLatin1Char(','))));

    const int before = m_daemon.stderrText().size();
    QUdpSocket sender;
    for (const QByteArray& datagram : {rebootDatagram(QStringLiteral("lines-1")), QByteArray("\xff\xff\xff", 3),
                                       rebootDatagram(QStringLiteral("lines-2"))})
        QVERIFY(sendDatagram(sender, datagram, m_daemon.port()));

    const QString reboot = QStringLiteral("Debug: \"\" \"\" \"INSERT INTO reboots (time, issuer) VALUES (:time, :issuer)\"");
    const auto lines = [&] {
        return QString::fromUtf8(m_daemon.stderrText().mid(before)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    QTRY_COMPARE_WITH_TIMEOUT(lines().count(reboot), 2, 20000);
    // How many datagrams one hand-over from the thread carries is up to the kernel and the clock.
    QStringList shown = lines();
    const QString pending = QStringLiteral("Debug: \"New datagrams pending.\"");
    QCOMPARE(shown.value(0), pending);
    shown.removeAll(pending);
    const QString read = QStringLiteral("Debug: \"Read new datagram.\"");
    COMPARE_LINES(shown,
                  (QStringList{read, reboot, read, QStringLiteral("Debug: \"Parsing datagram failed!\""), read, reboot}));
}

QTEST_GUILESS_MAIN(tst_SendAndStore)
#include "tst_sendandstore.moc"
