#include "commandlinereport.h"
#include "handlecmdlineargs.h"
#include "logmessage.pb.h"
#include "netvalidation.h"
#include "programmessagehandler.h"
#include "senderoptions.h"
#include "tevrikdefaults.h"

#include <QDebug>
#include <QHostAddress>
#include <QUdpSocket>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    qInstallMessageHandler(programMessageHandler);

    SenderOptions options(argc, argv);
    if (const int status = parseCommandLine([&options] { options.parse(); }, stdout))
        return status;

    if (options.debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(options.debugMsgs.count());

    LogEvent event;
    handleCmdLineArgs(options.type, options.msgpayload, event);
    // The text form takes the reflection machinery: built only when the line is shown.
    if (debugLevel >= 3)
        qDebug() << QString::fromStdString(event.DebugString());

    std::string bytes;
    event.SerializeToString(&bytes);
    const QByteArray datagram(bytes.data(), static_cast<int>(bytes.size()));

    const QHostAddress target = options.address.isPresent()
                                    ? QHostAddress(options.address.value().toString())
                                    : QHostAddress(QHostAddress::LocalHost);
    quint16 targetPort = tevrikDefaultPort;
    if (options.port.isPresent())
        parsePortNumber(options.port.value().toString(), &targetPort);

    QUdpSocket socket;
    const qint64 written = socket.writeDatagram(datagram, target, targetPort);
    const bool sent = written == datagram.size();
    qDebug() << QStringLiteral("Transmit success: %1").arg(sent ? QStringLiteral("true") : QStringLiteral("false"));
    if (!sent) {
        writeError(QStringLiteral("Sending the event to %1 port %2 failed: %3")
                       .arg(target.toString())
                       .arg(targetPort)
                       .arg(socket.errorString()));
        return 1;
    }
    return 0;
}
