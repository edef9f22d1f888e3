#include "senderoptions.h"

#include "tevrikdefaults.h"

namespace {

const char typesHelp[] =
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
    "generic       -m recordnumber -m key      -m value";

} // namespace

SenderOptions::SenderOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , address(QLatin1Char('a'), QStringList{QStringLiteral("address")},
              QStringLiteral("IP Address of target TevrikSystemLogD."), false, true, nullptr, &m_addressConstraint)
    , port(QLatin1Char('p'), QStringList{QStringLiteral("port")},
           QStringLiteral("UDP port number on target TevrikSystemLogD."), false, true, nullptr, &m_portConstraint)
    , type(QLatin1Char('t'), QStringList{QStringLiteral("type")},
           QStringLiteral("Sets the type of log message to send. Options are: coredump, reboot, watchdog, "
                          "joinlayer, specfile, sysload, machineconfig, generic"),
           true, true, nullptr, nullptr)
    , msgpayload(QLatin1Char('m'), QStringList{QStringLiteral("msgpayload")},
                 QStringLiteral("Sets a payload value of the message; give one -m per value, in order."), true, true,
                 nullptr, nullptr)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    address.setLongDescription(QStringLiteral("IP Address of target TevrikSystemLogD, defaults to 127.0.0.1."));
    port.setLongDescription(QStringLiteral("UDP port number on target machine, defaults to %1").arg(tevrikDefaultPort));
    type.setLongDescription(QString::fromLatin1(typesHelp));
    msgpayload.setLongDescription(QString::fromLatin1(typesHelp));
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriklogevent -d -d -d"));

    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriklogevent utility provides a commandline interface through which to add entries to the tevrik "
        "system log.\n\nFor more help with a specific command, use --help <command>"));
    help.printer()->setExecutableName(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
}

void SenderOptions::parse()
{
    cmdLine.addArg(address);
    cmdLine.addArg(port);
    cmdLine.addArg(type);
    cmdLine.addArg(msgpayload);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
