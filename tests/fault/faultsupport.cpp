#include "faultsupport.h"

#include "logmessage.pb.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTest>
#include <QUdpSocket>

QByteArray rebootDatagram(const QString& issuer)
{
    LogEvent event;
    event.mutable_reboot()->set_timestamp(1);
    event.mutable_reboot()->set_issuer(issuer.toStdString());
    return QByteArray::fromStdString(event.SerializeAsString());
}

bool sendDatagram(QUdpSocket& socket, const QByteArray& datagram, quint16 port)
{
    return socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port) == datagram.size();
}

qint64 receiveBufferDrops(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    // Columns: sl, local address as hex address:port (address in host byte order), ..., drops last.
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 2 && fields.at(1) == local)
            return fields.last().toLongLong();
    }
    return -1;
}

qint64 residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // Files in /proc report no size, so read them whole rather than line by line.
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).simplified().split(' ').first().toLongLong();
    }
    return -1;
}

bool waitForProcessState(qint64 pid, char state, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (stat.open(QIODevice::ReadOnly)) {
            // The state follows the command name, which is in parentheses and may contain blanks.
            const QByteArray text = stat.readAll();
            const int close = text.lastIndexOf(')');
            if (close >= 0 && text.size() > close + 2 && text.at(close + 2) == state)
                return true;
        }
        QTest::qWait(10);
    } while (!deadline.hasExpired());
    return false;
}

QStringList firstColumn(const QList<QVariantList>& rows)
{
    QStringList column;
    for (const QVariantList& row : rows)
        column << row.value(0).toString();
    return column;
}

bool startDaemon(QProcess& daemon, const QString& configPath, const QString& dbPath, const QStringList& extraArgs)
{
    daemon.start(QStringLiteral(TEVRIKSYSTEMLOG_PATH), QStringList{QStringLiteral("-c"), configPath} + extraArgs);
    if (!daemon.waitForStarted())
        return false;
    const QString lastTable = QStringLiteral("SELECT name FROM sqlite_master WHERE name = 'generic'");
    return waitForRows(dbPath, lastTable, 1).size() == 1 && daemon.state() == QProcess::Running;
}

quint16 startDaemonIn(QProcess& daemon, const QString& dir, const QString& dbPath, const QStringList& extraArgs)
{
    const QString configPath = dir + QStringLiteral("/tevriksystemlog.conf");
    const quint16 port = freeUdpPort();
    writeConfig(configPath, QStringLiteral("127.0.0.1"), QString::number(port), dbPath);
    return startDaemon(daemon, configPath, dbPath, extraArgs) ? port : 0;
}
