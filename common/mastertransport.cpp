#include "mastertransport.h"

#include <QHostAddress>

QString insecureTransportWarning(const QString& host, const QString& hostAddress, const QString& sslMode,
                                 const QString& master)
{
    // A Unix socket is a path (or an abstract name starting with @) and never crosses a network.
    if (host.isEmpty() || host.startsWith(QLatin1Char('/')) || host.startsWith(QLatin1Char('@')))
        return QString();
    const QString mode = sslMode.isEmpty() ? QStringLiteral("prefer") : sslMode;
    if (mode == QLatin1String("verify-ca") || mode == QLatin1String("verify-full"))
        return QString();
    const QHostAddress address(hostAddress.isEmpty() ? host : hostAddress);
    if (address.isLoopback() || (hostAddress.isEmpty() && host == QLatin1String("localhost")))
        return QString();
    return QStringLiteral("The master %1 is reached over the network with sslmode=%2, which does not verify the "
                          "server: set sslmode=verify-full and sslrootcert in the connection string")
        .arg(master, mode);
}
