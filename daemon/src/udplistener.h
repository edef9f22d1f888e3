#ifndef UDPLISTENER_H
#define UDPLISTENER_H

#include "logmessage.pb.h"

#include <QByteArray>
#include <QUdpSocket>

class ConfigSettings;

// A UDP socket bound to the configured address and port that decodes each datagram as one LogEvent.
class UDPListener : public QUdpSocket
{
    Q_OBJECT

public:
    UDPListener(const ConfigSettings& settings, QObject* parent);

signals:
    // The event belongs to the listener and lives only as long as the emission.
    void newLogEvent(LogEvent* event);

public slots:
    // Reads the waiting datagrams, a bounded number per call so that the event loop regains
    // control during a flood; datagrams left waiting cause the next readyRead().
    void readPendingDatagrams();
    void processTheDatagram(QByteArray datagram);
    // Re-binds to the configuration's current address and port.
    void changeBind();

private:
    // Binds to the configuration's address and port and enlarges the socket's receive buffer.
    bool bindToSettings();

    const ConfigSettings& m_settings;
    // Receives each datagram in turn; a datagram's event lives only as long as its emission.
    QByteArray m_buffer;
    LogEvent m_event;
};

#endif
