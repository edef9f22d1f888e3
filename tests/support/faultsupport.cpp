#include "faultsupport.h"

#include "logmessage.pb.h"

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

namespace {

// The line of /proc/net/udp for the socket bound to 127.0.0.1 port, split at its blanks; empty when none is.
// Columns: sl, local address as hex address:port (address in host byte order), ..., inode tenth, drops last.
QList<QByteArray> udpSocketFields(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    const QByteArray local = "0100007F:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 10 && fields.at(1) == local)
            return fields;
    }
    return {};
}

} // namespace

qint64 receiveBufferDrops(quint16 port)
{
    const QList<QByteArray> fields = udpSocketFields(port);
    return fields.isEmpty() ? -1 : fields.last().toLongLong();
}

qint64 udpSocketInode(quint16 port)
{
    const QList<QByteArray> fields = udpSocketFields(port);
    return fields.isEmpty() ? -1 : fields.at(9).toLongLong();
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

