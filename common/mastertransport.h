#ifndef MASTERTRANSPORT_H
#define MASTERTRANSPORT_H

#include <QString>

// The warning for a master database reached over TCP at an address other than loopback with an sslmode that
// does not verify the server (weaker than verify-ca); empty otherwise. host and hostAddress are libpq's for the
// connection made (a directory for a Unix socket), master names the database for the message.
QString insecureTransportWarning(const QString& host, const QString& hostAddress, const QString& sslMode,
                                 const QString& master);

#endif
