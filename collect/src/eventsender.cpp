#include "eventsender.h"

#include "logmessage.pb.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a datagram is watched for the port-unreachable reply. On this machine it comes back within the
// send itself; the margin covers a loaded machine whose network processing runs late.
const int refusalWaitMs = 20;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

EventSender::EventSender(const QHostAddress& address, quint16 port)
    : m_address(address)
    , m_port(port)
{
}

EventSender::~EventSender()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString EventSender::target() const
{
    return QStringLiteral("%1 port %2").arg(m_address.toString()).arg(m_port);
}

bool EventSender::open()
{
    sockaddr_storage storage = {};
    socklen_t length = 0;
    if (m_address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(m_port);
        const Q_IPV6ADDR bytes = m_address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(m_port);
        in4->sin_addr.s_addr = htonl(m_address.toIPv4Address());
        length = sizeof *in4;
    }
    m_fd = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = QStringLiteral("Cannot make a UDP socket: %1").arg(errnoText(errno));
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
        m_error = QStringLiteral("Cannot connect a UDP socket to %1: %2").arg(target(), errnoText(errno));
        return false;
    }
    return true;
}

SendResult EventSender::send(const LogEvent& event)
{
    std::string bytes;
    event.SerializeToString(&bytes);

    // A refusal that reached the socket late fails this send, which is then held too: the daemon is down.
    ssize_t sent = -1;
    do {
        sent = ::send(m_fd, bytes.data(), bytes.size(), 0);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int error = errno;
        m_error = errnoText(error);
        qDebug() << QStringLiteral("Sending %1 bytes to %2 failed: %3").arg(bytes.size()).arg(target(), m_error);
        return error == EMSGSIZE ? SendResult::Unsendable : SendResult::NotDelivered;
    }

    pollfd watch = {m_fd, 0, 0};
    int ready = 0;
    do {
        ready = ::poll(&watch, 1, refusalWaitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0)
        qWarning() << QStringLiteral("Cannot wait for a refusal from %1: %2; the event is taken as sent")
                          .arg(target(), errnoText(errno));
    if (ready > 0 && (watch.revents & POLLERR)) {
        int error = 0;
        socklen_t errorLength = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &errorLength);
        m_error = errnoText(error ? error : ECONNREFUSED);
        qDebug() << QStringLiteral("%1 refused %2 bytes: %3").arg(target()).arg(bytes.size()).arg(m_error);
        return SendResult::NotDelivered;
    }
    return SendResult::Sent;
}
