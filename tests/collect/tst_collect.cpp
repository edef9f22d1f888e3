// The collector end to end: journal files made from an export stream and a tree of /proc and /sys, read by
// the real program, whose events the real daemon stores.
#include "comparelines.h"
#include "daemonfixture.h"
#include "faultsupport.h"
#include "processrunner.h"
#include "tevrikdefaults.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/utsname.h>

#include <csignal>

namespace {

const QString collectorPath = QStringLiteral(TEVRIKLOGCOLLECT_PATH);
const QString dataDir = QStringLiteral(COLLECT_TEST_DATA);

// Writes a journal file at path from a journal export stream, as systemd-journal-remote does; made under a
// directory beside the journal's and moved in, so that a collector watching the directory sees it whole.
bool makeJournal(const QByteArray& exportStream, const QString& path)
{
    QDir beside = QFileInfo(path).dir();
    if (!beside.cdUp() || !beside.mkpath(QStringLiteral("incoming")))
        return false;
    const QString temporary = beside.filePath(QStringLiteral("incoming/") + QFileInfo(path).fileName());
    QProcess remote;
    remote.start(QStringLiteral(SYSTEMD_JOURNAL_REMOTE_PATH), {QStringLiteral("--output=") + temporary,
                                                              QStringLiteral("-")});
    if (!remote.waitForStarted())
        return false;
    remote.write(exportStream);
    remote.closeWriteChannel();
    return remote.waitForFinished(30000) && remote.exitCode() == 0 && QFile::rename(temporary, path);
}

// The export stream of a core dump of task in the running boot of the test journal.
QByteArray coredumpEntry(const QByteArray& task, qint64 crashUs)
{
    return "__REALTIME_TIMESTAMP=" + QByteArray::number(crashUs + 500000) + "\n__MONOTONIC_TIMESTAMP="
           + QByteArray::number(crashUs - 1700001997000000 + 500000)
           + "\n_BOOT_ID=2c3d4e5f6a7041829304b5c6d7e8f90b\nMESSAGE_ID=fc2e22bc6ee647b6b90729ab34a250b1\n"
             "COREDUMP_COMM="
           + task + "\nCOREDUMP_TIMESTAMP=" + QByteArray::number(crashUs) + "\n\n";
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Rows as "time text" lines, oldest first.
QStringList timedRows(const QString& dbPath, const QString& table, const QString& column)
{
    QStringList lines;
    for (const QVariantList& row : queryRows(dbPath, QStringLiteral("SELECT time, %1 FROM %2 ORDER BY time, rowID")
                                                         .arg(column, table)))
        lines << row.at(0).toString() + QLatin1Char(' ') + row.at(1).toString();
    return lines;
}

// One column of the configuration rows, oldest first.
QStringList configurationTexts(const QString& dbPath, const QString& column)
{
    return firstColumn(queryRows(dbPath, QStringLiteral("SELECT %1 FROM configuration ORDER BY rowID").arg(column)));
}

// The lines of a collector's standard error that contain text.
QStringList errLines(const QByteArray& err, const QString& text, Qt::CaseSensitivity cs = Qt::CaseSensitive)
{
    return QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(text, cs);
}

// A daemon with the [Collect] keys given, its statefile and an empty root and journal in its directory.
class CollectFixture
{
public:
    bool start(const QByteArray& collectKeys = QByteArray())
    {
        if (!daemon.start())
            return false;
        QFile config(daemon.configPath());
        QDir(daemon.dir()).mkpath(QStringLiteral("journal"));
        QDir(daemon.dir()).mkpath(QStringLiteral("root"));
        return config.open(QIODevice::Append)
               && config.write("[Collect]\nstatefile=" + statePath().toUtf8() + "\n" + collectKeys) > 0;
    }
    QStringList args(const QString& root = QString()) const
    {
        return {QStringLiteral("-c"), daemon.configPath(), QStringLiteral("-J"), journalDir(),
                QStringLiteral("--root"), root.isEmpty() ? daemon.dir() + QStringLiteral("/root") : root};
    }
    RunResult once(const QString& root = QString()) const
    {
        return runProgram(collectorPath, args(root) + QStringList{QStringLiteral("--once"), QStringLiteral("-d"),
                                                                   QStringLiteral("-d")});
    }
    // True once the daemon has stored everything sent before: it stores in arrival order, so a marker sent now
    // comes last.
    bool drained()
    {
        ++m_markers;
        const QString sql = QStringLiteral("SELECT 1 FROM generic WHERE key = 'drained'");
        return daemon.send({QStringLiteral("-t"), QStringLiteral("generic"), QStringLiteral("-m"),
                            QString::number(m_markers), QStringLiteral("-m"), QStringLiteral("drained"),
                            QStringLiteral("-m"), QString()})
                   == 0
               && waitForRows(daemon.dbPath(), sql, m_markers).size() == m_markers;
    }
    // The daemon, the test journal and a collector following it at -d -d, once the journal's three core dumps
    // are stored.
    bool follow(QProcess& collector, const QString& root = QString())
    {
        if (!start("loadinterval=0\nconfiginterval=0\n")
            || !makeJournal(readFile(dataDir + QStringLiteral("/journal.export")),
                            journalDir() + QStringLiteral("/test.journal")))
            return false;
        collector.start(collectorPath, args(root) + QStringList{QStringLiteral("-d"), QStringLiteral("-d")});
        return waitForRows(daemon.dbPath(), QStringLiteral("SELECT taskname FROM coredumps"), 3).size() == 3;
    }
    QString journalDir() const { return daemon.dir() + QStringLiteral("/journal"); }
    QString statePath() const { return daemon.dir() + QStringLiteral("/collect.state"); }

    DaemonFixture daemon;

private:
    int m_markers = 0;
};

} // namespace

class tst_Collect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void journalRows_data();
    void journalRows();
    void treeRows_data();
    void treeRows();
    void daemonDownKeepsEntries();
    void configurationChanges();
    void reloadTakesAChangedFile();
    void packageListCut();
    void rpmDatabaseFirst();
    void rotatedJournal();
    void startRefusals_data();
    void startRefusals();

private:
    CollectFixture m_journal;
    CollectFixture m_tree;
};

void tst_Collect::initTestCase()
{
    // The journal's events, collected twice: the second run must add none of them.
    QVERIFY(m_journal.start("loadinterval=0\n"));
    QVERIFY(makeJournal(readFile(dataDir + QStringLiteral("/journal.export")),
                        m_journal.journalDir() + QStringLiteral("/test.journal")));
    for (int run = 1; run <= 2; ++run) {
        const RunResult result = m_journal.once();
        QVERIFY2(result.exitCode == 0, result.err.constData());
        // An empty root: each part of the configuration that it lacks is named once, and left empty.
        const QString root = m_journal.daemon.dir() + QStringLiteral("/root");
        COMPARE_LINES(QString::fromUtf8(result.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                      (QStringList{
                          QStringLiteral("Warning: \"Cannot read \\\"%1/proc/cpuinfo\\\": No such file or directory; "
                                         "the CPU of the configuration stays empty\"")
                              .arg(root),
                          QStringLiteral("Warning: \"Cannot read \\\"%1/proc/meminfo\\\": No such file or directory; "
                                         "the memory of the configuration stays empty\"")
                              .arg(root),
                          QStringLiteral("Warning: \"Cannot read \\\"%1/proc/sys/kernel/osrelease\\\": No such file or "
                                         "directory; the kernel release of the configuration stays empty\"")
                              .arg(root),
                          QStringLiteral("Warning: \"No package database below \\\"%1\\\": neither an RPM database in "
                                         "/var/lib/rpm or /usr/lib/sysimage/rpm nor /var/lib/dpkg/status; the package "
                                         "list stays empty\"")
                              .arg(root)}));
    }
    QVERIFY(m_journal.drained());
    QVERIFY(readFile(m_journal.statePath()).startsWith("tevriklogcollect state 1\n"));

    QVERIFY(m_tree.start());
    const RunResult result = m_tree.once(dataDir + QStringLiteral("/root"));
    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY(m_tree.drained());
}

void tst_Collect::journalRows_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("core dumps: the command, else the executable's name; the crash time, else the entry's")
        << "coredumps" << "taskname"
        << QStringList{"1700000100000 sshd", "1700001200000 python3.11", "1700002059000 sshd"};
    QTest::newRow("boots: each with its start and how the boot before it ended")
        << "reboots" << "issuer"
        << QStringList{"1699999998000 first boot seen: no earlier boot in the journal",
                       "1700000998500 orderly shutdown: System is rebooting.",
                       "1700001997000 no shutdown recorded: a crash, a reset or a power loss"};
    QTest::newRow("the unit that systemd's watchdog killed, not the unit that failed otherwise")
        << "watchdog" << "triggeredBy" << QStringList{"1700001300000 tevrik-worker.service"};
}

void tst_Collect::journalRows()
{
    QFETCH(QString, table);
    QFETCH(QString, column);
    QFETCH(QStringList, expected);
    COMPARE_LINES(timedRows(m_journal.daemon.dbPath(), table, column), expected);
}

void tst_Collect::treeRows_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("pattern");

    struct utsname names = {};
    QVERIFY(::uname(&names) == 0);
    const auto exactly = [](const QString& text) { return QRegularExpression::escape(text); };
    QTest::newRow("load") << "SELECT sysload FROM systemload" << exactly("0.42 0.30 0.12 2/345 6789");
    QTest::newRow("hardware")
        << "SELECT hardwareconf FROM configuration"
        << exactly(QStringLiteral("architecture: %1\ncpu: 2 x Tevrik Test CPU @ 2.00GHz\nmemory: 4046848 kB")
                       .arg(QString::fromUtf8(names.machine)));
    QTest::newRow("kernel") << "SELECT linuxver FROM configuration" << exactly("6.1.0-18-amd64");
    QTest::newRow("installed packages, sorted")
        << "SELECT rpmsinstalled FROM configuration"
        << exactly("bash 5.2.15-2+b2 amd64\ntevriksystemlog 1.0.0 amd64\nzlib1g 1:1.2.13.dfsg-1 amd64");
    QTest::newRow("tevrik version") << "SELECT tevrikversion FROM configuration"
                                    << exactly(QString::fromLatin1(tevrikVersion));
    QTest::newRow("disk space") << "SELECT diskspace FROM configuration" << "/: \\d+ MiB free of \\d+ MiB";
    QTest::newRow("the watchdog that reset the machine, by device and identity")
        << "SELECT triggeredBy FROM watchdog" << exactly("watchdog0 (iTCO_wdt)");
}

void tst_Collect::treeRows()
{
    QFETCH(QString, sql);
    QFETCH(QString, pattern);
    const QList<QVariantList> rows = queryRows(m_tree.daemon.dbPath(), sql);
    QCOMPARE(rows.size(), 1);
    const QString text = rows.first().first().toString();
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(text).hasMatch(),
             qPrintable(text));
}

void tst_Collect::daemonDownKeepsEntries()
{
    CollectFixture fixture;
    QProcess collector;
    QVERIFY(fixture.follow(collector));
    const QString coredumps = QStringLiteral("SELECT taskname FROM coredumps");
    // A second collector on the same statefile would send the same events again.
    const RunResult second = fixture.once();
    QCOMPARE(second.exitCode, 1);
    QCOMPARE(second.err, QStringLiteral("Error: The statefile \"%1\" is in use by another tevriklogcollect\n")
                             .arg(fixture.statePath())
                             .toUtf8());

    QVERIFY(fixture.daemon.stop());
    QVERIFY(makeJournal(coredumpEntry("down-1", 1700003000000000) + coredumpEntry("down-2", 1700003001000000),
                        fixture.journalDir() + QStringLiteral("/more.journal")));
    QByteArray err;
    QVERIFY2(waitForStderrLine(collector, err, "does not take events (Connection refused)"), err.constData());
    QVERIFY(makeJournal(coredumpEntry("down-3", 1700003002000000),
                        fixture.journalDir() + QStringLiteral("/last.journal")));

    QVERIFY(fixture.daemon.startWith({QStringLiteral("-c"), fixture.daemon.configPath()}));
    QVERIFY2(waitForStderrLine(collector, err, "takes events again"), err.constData());
    QCOMPARE(waitForRows(fixture.daemon.dbPath(), coredumps, 6).size(), 6);
    collector.terminate();
    QVERIFY(collector.waitForFinished(30000));
    QCOMPARE(collector.exitCode(), 0);
    err += collector.readAllStandardError();
    COMPARE_LINES(errLines(err, QStringLiteral("daemon")),
                  (QStringList{QStringLiteral("Warning: \"The daemon at 127.0.0.1 port %1 does not take events "
                                              "(Connection refused): they are kept and sent when it is back\"")
                                   .arg(fixture.daemon.port()),
                               QStringLiteral("Info: \"The daemon at 127.0.0.1 port %1 takes events again: sending "
                                              "from where it stopped\"")
                                   .arg(fixture.daemon.port())}));
    QVERIFY(fixture.daemon.stop());
    COMPARE_LINES(firstColumn(queryRows(fixture.daemon.dbPath(), coredumps + QStringLiteral(" ORDER BY time"))),
                  (QStringList{"sshd", "python3.11", "sshd", "down-1", "down-2", "down-3"}));
}

void tst_Collect::configurationChanges()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("proc/sys/kernel")));
    const auto writeRelease = [&root](const QByteArray& release) {
        QFile file(root.filePath(QStringLiteral("proc/sys/kernel/osrelease")));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(release) == release.size();
    };
    QVERIFY(writeRelease("6.1.0-17-amd64\n"));
    QVERIFY(QFile::copy(dataDir + QStringLiteral("/root/proc/loadavg"), root.filePath(QStringLiteral("proc/loadavg"))));

    CollectFixture fixture;
    QVERIFY(fixture.start("loadinterval=1\nconfiginterval=1\nboots=false\n"));
    QProcess collector;
    collector.start(collectorPath, fixture.args(root.path()));
    const QString configurations = QStringLiteral("SELECT 1 FROM configuration");
    QCOMPARE(waitForRows(fixture.daemon.dbPath(), configurations, 1).size(), 1);
    QVERIFY(writeRelease("6.1.0-18-amd64\n"));
    QCOMPARE(waitForRows(fixture.daemon.dbPath(), configurations, 2).size(), 2);

    // Both timers tick every second: by three more loads the configuration was looked at twice more, unchanged
    // but for the free space, which is no change.
    const QString loads = QStringLiteral("SELECT 1 FROM systemload");
    const int loadsBefore = queryRows(fixture.daemon.dbPath(), loads).size();
    QVERIFY(waitForRows(fixture.daemon.dbPath(), loads, loadsBefore + 3).size() >= loadsBefore + 3);
    collector.terminate();
    QVERIFY(collector.waitForFinished(30000));
    QVERIFY(fixture.drained());
    COMPARE_LINES(configurationTexts(fixture.daemon.dbPath(), QStringLiteral("linuxver")),
                  (QStringList{"6.1.0-17-amd64", "6.1.0-18-amd64"}));
}

void tst_Collect::reloadTakesAChangedFile()
{
    CollectFixture fixture;
    QProcess collector;
    QVERIFY(fixture.follow(collector, dataDir + QStringLiteral("/root")));
    const QString coredumps = QStringLiteral("SELECT taskname FROM coredumps");
    const qint64 pid = collector.processId();
    const QByteArray original = readFile(fixture.daemon.configPath());
    const auto rewrite = [&fixture, &original](const QByteArray& loadInterval) {
        QFile file(fixture.daemon.configPath());
        QByteArray text = original;
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
               && file.write(text.replace("loadinterval=0", "loadinterval=" + loadInterval)) == text.size();
    };
    QByteArray err;
    ::kill(pid_t(pid), SIGHUP);
    QVERIFY2(waitForStderrLine(collector, err, "nothing changed"), err.constData());
    QVERIFY(rewrite("soon"));
    ::kill(pid_t(pid), SIGHUP);
    QVERIFY2(waitForStderrLine(collector, err, "the running settings stay"), err.constData());
    // Loads every second, taken by a new start in the same process, which sends no core dump again.
    QVERIFY(rewrite("1"));
    ::kill(pid_t(pid), SIGHUP);
    QVERIFY(!waitForRows(fixture.daemon.dbPath(), QStringLiteral("SELECT 1 FROM systemload"), 1).isEmpty());
    QCOMPARE(collector.state(), QProcess::Running);
    QCOMPARE(collector.processId(), pid);
    collector.terminate();
    QVERIFY(collector.waitForFinished(30000));
    QCOMPARE(collector.exitCode(), 0);
    QVERIFY(fixture.drained());
    QCOMPARE(queryRows(fixture.daemon.dbPath(), coredumps).size(), 3);
    err += collector.readAllStandardError();
    const QString path = fixture.daemon.configPath();
    COMPARE_LINES(errLines(err, QStringLiteral("reload"), Qt::CaseInsensitive),
                  (QStringList{QStringLiteral("Info: \"Reloaded the configuration file \\\"%1\\\": nothing changed\"")
                                   .arg(path),
                               QStringLiteral("Warning: \"Cannot reload the configuration file \\\"%1\\\": "
                                              "Collect/loadinterval must be a whole number of seconds from 0 to 604800, "
                                              "not \\\"soon\\\"; the running settings stay\"")
                                   .arg(path),
                               QStringLiteral("Info: \"Reloaded the configuration file \\\"%1\\\": it changed, "
                                              "starting again with it\"")
                                   .arg(path)}));
}

void tst_Collect::packageListCut()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("var/lib/dpkg")));
    QFile status(root.filePath(QStringLiteral("var/lib/dpkg/status")));
    QVERIFY(status.open(QIODevice::WriteOnly));
    QStringList all;
    for (int i = 0; i < 3000; ++i) {
        const QString name = QStringLiteral("package-with-a-long-name-%1").arg(i, 4, 10, QLatin1Char('0'));
        status.write(QStringLiteral("Package: %1\nStatus: install ok installed\nVersion: 1.%2-1\nArchitecture: amd64\n"
                                    "\n")
                         .arg(name)
                         .arg(i)
                         .toUtf8());
        all << QStringLiteral("%1 1.%2-1 amd64").arg(name).arg(i);
    }
    status.close();
    std::sort(all.begin(), all.end());

    CollectFixture fixture;
    QVERIFY(fixture.start("loadinterval=0\n"));
    const RunResult result = fixture.once(root.path());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(fixture.drained());
    const QStringList rows = configurationTexts(fixture.daemon.dbPath(), QStringLiteral("rpmsinstalled"));
    QCOMPARE(rows.size(), 1);
    QStringList lines = rows.first().split(QLatin1Char('\n'));
    const QString last = lines.takeLast();
    QVERIFY(lines.size() > 1000 && lines.size() < all.size());
    COMPARE_LINES(lines, all.mid(0, lines.size()));
    const int leftOut = all.size() - lines.size();
    QCOMPARE(last, QStringLiteral("%1 packages left out: the list does not fit in one datagram").arg(leftOut));
    QVERIFY2(result.err.contains(QStringLiteral("Warning: \"The package list does not fit in one datagram: %1 of "
                                                "3000 packages are left out of the configuration\"\n")
                                     .arg(leftOut)
                                     .toUtf8()),
             result.err.constData());
}

void tst_Collect::rpmDatabaseFirst()
{
    // A tree with both databases: the RPM database is the one read, through rpm itself.
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("var/lib/rpm")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("var/lib/dpkg")));
    QVERIFY(QFile::copy(dataDir + QStringLiteral("/root/var/lib/dpkg/status"),
                        root.filePath(QStringLiteral("var/lib/dpkg/status"))));
    const QString dbPath = root.filePath(QStringLiteral("var/lib/rpm"));
    const RunResult made =
        runProgram(QStringLiteral("rpm"), {QStringLiteral("--dbpath"), dbPath, QStringLiteral("--initdb")});
    QVERIFY2(made.exitCode == 0, made.err.constData());
    QTemporaryDir build;
    for (const QByteArray& header : {QByteArray("Name: tevrik-tool\nVersion: 0.5\nRelease: 1\n"),
                                     QByteArray("Name: tevrik-probe\nVersion: 2.1\nRelease: 3\nEpoch: 1\n")}) {
        QFile spec(build.filePath(QStringLiteral("package.spec")));
        QVERIFY(spec.open(QIODevice::WriteOnly | QIODevice::Truncate));
        spec.write(header + "Summary: test\nLicense: MIT\nBuildArch: noarch\n%description\ntest\n%files\n");
        spec.close();
        const RunResult built = runProgram(QStringLiteral("rpmbuild"),
                                           {QStringLiteral("-bb"), QStringLiteral("--define"),
                                            QStringLiteral("_topdir ") + build.path(), spec.fileName()});
        QVERIFY2(built.exitCode == 0, built.err.constData());
    }
    const QStringList packages = QDir(build.filePath(QStringLiteral("RPMS/noarch"))).entryList(QDir::Files);
    for (const QString& package : packages) {
        const RunResult installed =
            runProgram(QStringLiteral("rpm"),
                       {QStringLiteral("--dbpath"), dbPath, QStringLiteral("-i"), QStringLiteral("--justdb"),
                        QStringLiteral("--nodeps"), QStringLiteral("--noscripts"),
                        build.filePath(QStringLiteral("RPMS/noarch/")) + package});
        QVERIFY2(installed.exitCode == 0, installed.err.constData());
    }

    CollectFixture fixture;
    QVERIFY(fixture.start("loadinterval=0\n"));
    QCOMPARE(fixture.once(root.path()).exitCode, 0);
    QVERIFY(fixture.drained());
    COMPARE_LINES(configurationTexts(fixture.daemon.dbPath(), QStringLiteral("rpmsinstalled")),
                  QStringList{QStringLiteral("tevrik-probe 1:2.1-3 noarch\ntevrik-tool 0.5-1 noarch")});
}

void tst_Collect::rotatedJournal()
{
    CollectFixture fixture;
    QVERIFY(fixture.start("loadinterval=0\nboots=false\n"));
    const QString journalFile = fixture.journalDir() + QStringLiteral("/test.journal");
    QVERIFY(makeJournal(readFile(dataDir + QStringLiteral("/journal.export")), journalFile));
    QCOMPARE(fixture.once().exitCode, 0);

    // The journal as after a vacuum: the entries before the cursor and the cursor's own are gone.
    QVERIFY(QFile::remove(journalFile));
    QVERIFY(makeJournal(coredumpEntry("after-vacuum", 1700003000000000), journalFile));
    const RunResult result = fixture.once();
    QCOMPARE(result.exitCode, 0);
    QVERIFY(fixture.drained());
    QVERIFY2(result.err.contains("Warning: \"The journal no longer holds the entry after which the collector stopped "
                                 "(rotated or vacuumed): going on from its oldest entry\"\n"),
             result.err.constData());
    COMPARE_LINES(timedRows(fixture.daemon.dbPath(), QStringLiteral("coredumps"), QStringLiteral("taskname")),
                  (QStringList{"1700000100000 sshd", "1700001200000 python3.11", "1700002059000 sshd",
                               "1700003000000 after-vacuum"}));
}

void tst_Collect::startRefusals_data()
{
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<QByteArray>("state");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");

    QTest::newRow("a statefile that is not ours is left as it is")
        << QByteArray() << QByteArray("cursor of another program\n") << 1
        << "Error: \"STATE\" is not a statefile of tevriklogcollect; it is left as it is: name another statefile in "
           "[Collect] or remove it";
    QTest::newRow("an interval that is not a number")
        << QByteArray("loadinterval=soon\n") << QByteArray() << 1
        << "Error: Collect/loadinterval must be a whole number of seconds from 0 to 604800, not \"soon\"";
    QTest::newRow("a misspelt key is named and the rest goes on")
        << QByteArray("loadintervall=5\n") << QByteArray() << 0
        << "Warning: \"Unknown key \\\"loadintervall\\\" in [Collect] of \\\"CONFIG\\\" is ignored\"";
}

void tst_Collect::startRefusals()
{
    QFETCH(QByteArray, keys);
    QFETCH(QByteArray, state);
    QFETCH(int, exitCode);
    QFETCH(QString, line);

    CollectFixture fixture;
    QVERIFY(fixture.start(keys));
    if (!state.isEmpty()) {
        QFile file(fixture.statePath());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(state) == state.size());
    }
    const RunResult result = fixture.once();
    QCOMPARE(result.exitCode, exitCode);
    const QStringList lines = QString::fromUtf8(result.err).split(QLatin1Char('\n'));
    const QString expected = QString(line)
                                 .replace(QStringLiteral("STATE"), fixture.statePath())
                                 .replace(QStringLiteral("CONFIG"), fixture.daemon.configPath());
    QVERIFY2(lines.contains(expected), result.err.constData());
    if (!state.isEmpty())
        QCOMPARE(readFile(fixture.statePath()), state);
}

QTEST_GUILESS_MAIN(tst_Collect)
#include "tst_collect.moc"
