#include "programmessagehandler.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

// Usage: messagehandlerhelper LEVEL KIND TEXT. Streams TEXT as one message of KIND
// (debug, warning, critical, info; fatal takes it as a format argument) at verbosity LEVEL,
// or writes it with writeError (error), writeAlways as info (always) or exitOnInputError (input).
int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    debugLevel = static_cast<quint8>(QByteArray(argv[1]).toUInt());
    qInstallMessageHandler(programMessageHandler);

    const QByteArray kind(argv[2]);
    const QString text = QString::fromUtf8(argv[3]);
    if (kind == "debug")
        qDebug() << text;
    else if (kind == "warning")
        qWarning() << text;
    else if (kind == "critical")
        qCritical() << text;
    else if (kind == "info")
        qInfo() << text;
    else if (kind == "fatal")
        qFatal("%s", argv[3]);
    else if (kind == "error")
        writeError(text);
    else if (kind == "always")
        writeAlways(QtInfoMsg, text);
    else if (kind == "input")
        exitOnInputError(text);
    else
        return 2;
    return 0;
}
