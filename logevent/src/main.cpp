#include "cliargs.h"
#include "handlecmdlineargs.h"
#include "logmessage.pb.h"
#include "netconstraints.h"
#include "netvalidation.h"
#include "programmessagehandler.h"

#include <QDebug>
#include <QHostAddress>
#include <QUdpSocket>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    qInstallMessageHandler(programMessageHandler);

    CliArgCmdLine cmdLine(argc, argv);
    NumericAddressConstraint addressConstraint;
    PortNumberConstraint portConstraint;

    CliArg address(QLatin1Char('a'), QStringList{QStringLiteral("address")},
                   QStringLiteral("IP Address of target TevrikSystemLogD."), false, true, nullptr,
                   &addressConstraint);
    address.setLongDescription(QStringLiteral("IP Address of target TevrikSystemLogD, defaults to 127.0.0.1."));
    CliArg port(QLatin1Char('p'), QStringList{QStringLiteral("port")},
                QStringLiteral("UDP port number on target TevrikSystemLogD."), false, true, nullptr,
                &portConstraint);
    port.setLongDescription(QStringLiteral("UDP port number on target machine, defaults to 7777"));

    const QString typesHelp = QStringLiteral(
        "Each message type has a different set of arguments, with the order of the arguments being important.\n"
        "Each argument must be preceded by a -m\n"
        "\n"
        "coredump      -m nameoftask\n"
        "reboot        -m nameofissuer\n"
        "watchdog      -m triggeredby\n"
        "joinlayer     -m nameoftask\n"
        "specfile      -m nameoftask   -m nameoffile\n"
        "sysload       -m sysload\n"
        "machineconfig -m hardwareconf -m linuxver -m rpmsinstalled -m tevrikversion -m diskspace\n"
        "generic       -m recordnumber -m key      -m value");
    CliArg type(QLatin1Char('t'), QStringList{QStringLiteral("type")},
                QStringLiteral("Sets the type of log message to send. Options are: coredump, reboot, watchdog, "
                               "joinlayer, specfile, sysload, machineconfig, generic"),
                true, true, nullptr, nullptr);
    type.setLongDescription(typesHelp);
    CliMultiArg msgpayload(QLatin1Char('m'), QStringList{QStringLiteral("msgpayload")},
                           QStringLiteral("Sets a payload value of the message; give one -m per value, in order."),
                           true, true, nullptr, nullptr);
    msgpayload.setLongDescription(typesHelp);
    CliMultiArg debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")},
                          QStringLiteral("Enable debug messages."), false, false, nullptr, nullptr);
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriklogevent -d -d -d"));

    CliArgHelp help(&cmdLine);
    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriklogevent utility provides a commandline interface through which to add entries to the tevrik "
        "system log.\n\nFor more help with a specific command, use --help <command>"));
    help.printer()->setExecutableName(QString::fromLocal8Bit(argv[0]));

    try {
        cmdLine.addArg(address);
        cmdLine.addArg(port);
        cmdLine.addArg(type);
        cmdLine.addArg(msgpayload);
        cmdLine.addArg(debugMsgs);
        cmdLine.addArg(help);
        cmdLine.parse(false);
    } catch (const CliArgBaseException& e) {
        std::fprintf(stdout, "%s\r\n", e.what());
        return -1;
    }

    if (debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(debugMsgs.count());

    LogEvent event;
    handleCmdLineArgs(type, msgpayload, event);
    qDebug() << QString::fromStdString(event.DebugString());

    std::string bytes;
    event.SerializeToString(&bytes);
    const QByteArray datagram(bytes.data(), static_cast<int>(bytes.size()));

    const QHostAddress target = address.isPresent() ? QHostAddress(address.value().toString())
                                                    : QHostAddress(QHostAddress::LocalHost);
    quint16 targetPort = 7777;
    if (port.isPresent())
        parsePortNumber(port.value().toString(), &targetPort);

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
