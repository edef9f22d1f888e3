// The least a sender built on Qt and protocol buffers can do: encode one reboot event and send
// it as one datagram to 127.0.0.1 on the port given as the only argument. Its start-up time is
// the floor against which tevriklogevent is measured.
#include "logmessage.pb.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QUdpSocket>

#include <string>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    LogEvent event;
    event.mutable_reboot()->set_issuer("admin");
    event.mutable_reboot()->set_timestamp(static_cast<quint64>(QDateTime::currentMSecsSinceEpoch()));
    const std::string bytes = event.SerializeAsString();

    QUdpSocket socket;
    const QByteArray datagram(bytes.data(), static_cast<int>(bytes.size()));
    const qint64 written =
        socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), QByteArray(argv[1]).toUShort());
    return written == datagram.size() ? 0 : 1;
}
