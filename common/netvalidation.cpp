#include "netvalidation.h"

#include <QHostAddress>

bool isNumericAddress(const QString& text)
{
    QHostAddress address;
    return address.setAddress(text);
}

bool isUsablePort(uint port)
{
    return port >= 1 && port <= 65535;
}

bool parsePortNumber(const QString& text, quint16* port)
{
    // Digits only: toUInt alone would also take a sign and surrounding blanks.
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const uint value = text.toUInt();
    if (!isUsablePort(value))
        return false;
    *port = static_cast<quint16>(value);
    return true;
}
