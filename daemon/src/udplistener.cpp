#include "udplistener.h"

#include "benchbaseline.h"
#include "configsettings.h"
#include "programmessagehandler.h"

#include <QDebug>
#include <QElapsedTimer>

#include <sys/socket.h>

namespace {

// Room for a burst of datagrams while the store commits; the kernel doubles the value for its
// bookkeeping.
constexpr int requestedReceiveBuffer = 96 * 1024 * 1024;

// Large enough for any UDP datagram.
constexpr int maxDatagramSize = 65536;

// What one readyRead() reads at most before the event loop gets its turn.
constexpr int maxDatagramsPerRead = 256;
constexpr qint64 maxReadMs = 10;

// Beyond net.core.rmem_max when the process may (root or CAP_NET_ADMIN), else up to it.
void enlargeReceiveBuffer(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    const int size = requestedReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

} // namespace

UDPListener::UDPListener(const ConfigSettings& settings, QObject* parent)
    : QUdpSocket(parent)
    , m_settings(settings)
{
    const bool bound = bindToSettings();
    qDebug() << QStringLiteral("Bind to udp socket succeeded: %1")
                    .arg(bound ? QStringLiteral("true") : QStringLiteral("false"));
    if (bound && !benchBaseline) {
        qDebug() << QStringLiteral("Receive buffer: %1 bytes")
                        .arg(socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt());
    }

    connect(&m_settings, SIGNAL(addressChanged(QHostAddress)), this, SLOT(changeBind()));
    connect(&m_settings, SIGNAL(portChanged(quint16)), this, SLOT(changeBind()));
    connect(this, SIGNAL(readyRead()), this, SLOT(readPendingDatagrams()));
}

bool UDPListener::bindToSettings()
{
    const bool bound = bind(m_settings.getAddress(), m_settings.getPort(), QAbstractSocket::DefaultForPlatform);
    if (bound && !benchBaseline)
        enlargeReceiveBuffer(socketDescriptor());
    return bound;
}

void UDPListener::readPendingDatagrams()
{
    // Debug lines are built only when they are shown: during a flood, formatting them would cost
    // more than decoding the datagrams.
    const bool debug = debugLevel >= 3;
    if (debug)
        qDebug() << QStringLiteral("New datagrams pending.");
    if (m_buffer.size() != maxDatagramSize)
        m_buffer.resize(maxDatagramSize);
    QElapsedTimer elapsed;
    elapsed.start();
    for (int read = 0; hasPendingDatagrams(); ++read) {
        // At least one datagram is read, or Qt would stop notifying about the ones waiting.
        if (!benchBaseline && read > 0 && (read == maxDatagramsPerRead || elapsed.hasExpired(maxReadMs)))
            break;
        if (debug)
            qDebug() << QStringLiteral("Read new datagram.");
        const qint64 received = readDatagram(m_buffer.data(), m_buffer.size());
        if (received < 0) {
            if (debug)
                qDebug() << QStringLiteral("Reading datagram failed!");
            continue;
        }
        processTheDatagram(QByteArray::fromRawData(m_buffer.constData(), static_cast<int>(received)));
    }
}

void UDPListener::processTheDatagram(QByteArray datagram)
{
    if (m_event.ParseFromArray(datagram.constData(), datagram.size()))
        emit newLogEvent(&m_event);
    else if (debugLevel >= 3)
        qDebug() << QStringLiteral("Parsing datagram failed!");
}

void UDPListener::changeBind()
{
    close();
    bindToSettings();
}
