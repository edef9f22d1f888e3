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
    void readPendingDatagrams();
    void processTheDatagram(QByteArray datagram);
    // Re-binds to the configuration's current address and port.
    void changeBind();

private:
    const ConfigSettings& m_settings;
};

#endif
