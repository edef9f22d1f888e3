#ifndef EVENTSENDER_H
#define EVENTSENDER_H

#include <QHostAddress>
#include <QString>

class LogEvent;

// What became of one event.
enum class SendResult {
    // The datagram left and no refusal came back.
    Sent,
    // Not delivered: the daemon is down (the port refused it) or the datagram could not be sent; send it again later.
    NotDelivered,
    // Can never be sent as it is (too large for a datagram): go on without it.
    Unsendable,
};

// Sends events to the daemon, one LogEvent a datagram, on a UDP socket connected to the daemon's address and
// port. On a connected socket the kernel hands back the port-unreachable reply to a datagram that nobody
// receives, which on this machine arrives at once: each datagram is watched for that reply for a moment, so
// that a daemon that is down shows as an event not delivered, never as one sent.
class EventSender
{
public:
    EventSender(const QHostAddress& address, quint16 port);
    ~EventSender();
    EventSender(const EventSender&) = delete;
    EventSender& operator=(const EventSender&) = delete;

    // Makes and connects the socket; false, with errorString(), when that fails.
    bool open();
    SendResult send(const LogEvent& event);
    // Why the last event was not delivered.
    QString errorString() const { return m_error; }
    // "127.0.0.1 port 7777".
    QString target() const;

private:
    QHostAddress m_address;
    quint16 m_port;
    int m_fd = -1;
    QString m_error;
};

#endif
