#ifndef NETVALIDATION_H
#define NETVALIDATION_H

#include <QString>
#include <QtGlobal>

// True when text is a numeric IPv4 or IPv6 address; host names are never resolved.
bool isNumericAddress(const QString& text);

// Reads text as a decimal port number from 1 to 65535; false (port untouched) otherwise.
bool parsePortNumber(const QString& text, quint16* port);

#endif
