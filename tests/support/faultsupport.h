#ifndef FAULTSUPPORT_H
#define FAULTSUPPORT_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>

class QUdpSocket;

// The encoding of one event carrying a Reboot with the given issuer.
QByteArray rebootDatagram(const QString& issuer);

// Sends one datagram to 127.0.0.1 port; true when the socket took all of it.
bool sendDatagram(QUdpSocket& socket, const QByteArray& datagram, quint16 port);

// Datagrams the kernel dropped because the receive buffer of the UDP socket bound to
// 127.0.0.1 port was full; -1 when there is no such socket.
qint64 receiveBufferDrops(quint16 port);
// The inode of the UDP socket bound to 127.0.0.1 port, which a new socket changes; -1 when there is none.
qint64 udpSocketInode(quint16 port);

// Resident memory of a running process in kB (VmRSS); -1 when unknown.
qint64 residentKb(qint64 pid);

// Polls /proc until the process is in the given state (for example 'T', stopped) or the deadline passes.
bool waitForProcessState(qint64 pid, char state, int timeoutMs = 10000);

// The first column of every row, as text.
QStringList firstColumn(const QList<QVariantList>& rows);

#endif
