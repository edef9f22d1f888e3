#ifndef FAULTSUPPORT_H
#define FAULTSUPPORT_H

#include <QByteArray>
#include <QList>
#include <QProcess>
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

// Resident memory of a running process in kB (VmRSS); -1 when unknown.
qint64 residentKb(qint64 pid);

// Polls /proc until the process is in the given state (for example 'T', stopped) or the deadline passes.
bool waitForProcessState(qint64 pid, char state, int timeoutMs = 10000);

// The first column of every row, as text.
QStringList firstColumn(const QList<QVariantList>& rows);

// Starts the daemon with its configuration file and the given extra arguments; true once it has
// created its tables, which it does after binding, so that readiness does not depend on the verbosity.
bool startDaemon(QProcess& daemon, const QString& configPath, const QString& dbPath, const QStringList& extraArgs);

// Writes a configuration into dir for a free port on 127.0.0.1 and the database dbPath, then starts the
// daemon with it as startDaemon() does; the port, or 0 when the daemon did not start.
quint16 startDaemonIn(QProcess& daemon, const QString& dir, const QString& dbPath, const QStringList& extraArgs);

#endif
