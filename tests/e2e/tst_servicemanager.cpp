// The daemon under a service manager: readiness only once it listens, status lines, the watchdog's
// keep-alive, a reload and the stop, sent to the socket named by NOTIFY_SOCKET.
#include "faultsupport.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A datagram socket in the file system, as systemd listens for notifications.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path)
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (m_fd < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        m_bound = ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(m_fd); }

    bool isBound() const { return m_bound; }

    // Reads notifications until one contains text or the deadline passes; every message read is kept.
    bool waitFor(const QByteArray& text, int timeoutMs = 20000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_next < m_messages.size()) {
                if (m_messages.at(m_next++).contains(text))
                    return true;
            }
            pollfd ready = {m_fd, POLLIN, 0};
            if (::poll(&ready, 1, int(qMax<qint64>(0, deadline.remainingTime()))) <= 0)
                return false;
            char buffer[4096];
            const ssize_t length = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (length > 0)
                m_messages << QByteArray(buffer, int(length));
        }
    }

    QByteArray all() const { return m_messages.join("|"); }

private:
    int m_fd;
    bool m_bound = false;
    QList<QByteArray> m_messages;
    int m_next = 0;
};

} // namespace

class tst_ServiceManager : public QObject
{
    Q_OBJECT

private slots:
    void notifiesServiceManager_data();
    void notifiesServiceManager();
};

void tst_ServiceManager::notifiesServiceManager_data()
{
    QTest::addColumn<bool>("portTaken");

    QTest::newRow("listening: ready, status, keep-alive, reloading, stopping") << false;
    QTest::newRow("port taken: never ready") << true;
}

void tst_ServiceManager::notifiesServiceManager()
{
    QFETCH(bool, portTaken);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    NotifySocket notifications(dir.filePath(QStringLiteral("notify")));
    QVERIFY(notifications.isBound());
    const QString configPath = dir.filePath(QStringLiteral("daemon.conf"));
    const QString dbPath = dir.filePath(QStringLiteral("systemlog.db"));
    QUdpSocket occupant;
    const quint16 port = freeUdpPort();
    if (portTaken)
        QVERIFY(occupant.bind(QHostAddress(QHostAddress::LocalHost), port, QUdpSocket::DontShareAddress));
    writeConfig(configPath, QStringLiteral("127.0.0.1"), QString::number(port), dbPath);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), dir.filePath(QStringLiteral("notify")));
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    environment.remove(QStringLiteral("WATCHDOG_PID"));
    QProcess daemon;
    daemon.setProcessEnvironment(environment);
    daemon.start(QStringLiteral(TEVRIKSYSTEMLOG_PATH), {QStringLiteral("-c"), configPath, QStringLiteral("-d")});

    if (portTaken) {
        QVERIFY(daemon.waitForFinished(30000));
        QCOMPARE(daemon.exitCode(), 1);
        QVERIFY2(!notifications.waitFor("READY=1", 0), notifications.all().constData());
        return;
    }

    QVERIFY2(notifications.waitFor("READY=1"), notifications.all().constData());
    // Ready means listening with the tables made: the socket is bound and the last table exists.
    QVERIFY(receiveBufferDrops(port) >= 0);
    QCOMPARE(queryRows(dbPath, QStringLiteral("SELECT name FROM sqlite_master WHERE name = 'generic'")).size(), 1);
    QVERIFY2(notifications.all().contains("READY=1\nSTATUS=datagrams received 0, undecodable 0, events stored 0"),
             notifications.all().constData());
    QVERIFY2(notifications.waitFor("WATCHDOG=1"), notifications.all().constData());
    QVERIFY2(notifications.waitFor("STATUS=datagrams received"), notifications.all().constData());
    QVERIFY2(notifications.waitFor("WATCHDOG=1"), notifications.all().constData());
    // A reload is announced with the time that systemd matches it by, and its end is a readiness.
    QVERIFY(signalProcess(daemon, SIGHUP));
    QVERIFY2(notifications.waitFor("RELOADING=1\nMONOTONIC_USEC="), notifications.all().constData());
    QVERIFY2(notifications.waitFor("READY=1\nSTATUS=datagrams received"), notifications.all().constData());

    daemon.terminate();
    QVERIFY2(notifications.waitFor("STOPPING=1"), notifications.all().constData());
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    // At -d a stop leaves the counters in the journal.
    const QByteArray err = daemon.readAllStandardError();
    QVERIFY2(err.contains("Info: \"Counters at stop: datagrams received 0, undecodable 0, events stored 0, rows "
                          "failed 0, rows held 0, rows lost 0, kernel drops 0, rows pruned 0\"\n"),
             err.constData());
}

QTEST_GUILESS_MAIN(tst_ServiceManager)
#include "tst_servicemanager.moc"
