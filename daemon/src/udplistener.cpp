#include "udplistener.h"

#include "configsettings.h"

#include <QDebug>
#include <QHostAddress>

#include <memory>

UDPListener::UDPListener(const ConfigSettings& settings, QObject* parent)
    : QUdpSocket(parent)
    , m_settings(settings)
{
    const bool bound = bind(m_settings.getAddress(), m_settings.getPort(), QAbstractSocket::DefaultForPlatform);
    qDebug() << QStringLiteral("Bind to udp socket succeeded: %1")
                    .arg(bound ? QStringLiteral("true") : QStringLiteral("false"));

    connect(&m_settings, SIGNAL(addressChanged(QHostAddress)), this, SLOT(changeBind()));
    connect(&m_settings, SIGNAL(portChanged(quint16)), this, SLOT(changeBind()));
    connect(this, SIGNAL(readyRead()), this, SLOT(readPendingDatagrams()));
}

void UDPListener::readPendingDatagrams()
{
    qDebug() << QStringLiteral("New datagrams pending.");
    while (hasPendingDatagrams()) {
        qDebug() << QStringLiteral("Read new datagram.");
        QByteArray datagram;
        datagram.resize(static_cast<int>(pendingDatagramSize()));
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 received = readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        if (received < 0) {
            qDebug() << QStringLiteral("Reading datagram failed!");
            continue;
        }
        datagram.truncate(static_cast<int>(received));
        processTheDatagram(datagram);
    }
}

void UDPListener::processTheDatagram(QByteArray datagram)
{
    const auto event = std::make_unique<LogEvent>();
    if (event->ParseFromArray(datagram.constData(), datagram.size()))
        emit newLogEvent(event.get());
    else
        qDebug() << QStringLiteral("Parsing datagram failed!");
}

void UDPListener::changeBind()
{
    close();
    bind(m_settings.getAddress(), m_settings.getPort(), QAbstractSocket::DefaultForPlatform);
}
