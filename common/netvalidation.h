#ifndef NETVALIDATION_H
#define NETVALIDATION_H

#include <QString>
#include <QtGlobal>

// True when text is a numeric IPv4 or IPv6 address; host names are never resolved.
bool isNumericAddress(const QString& text);

// True for a port from 1 to 65535: port 0 would make the system choose one.
bool isUsablePort(uint port);

// Reads text as a decimal port number from 1 to 65535; false (port untouched) otherwise.
bool parsePortNumber(const QString& text, quint16* port);

#endif
