// Declares the option set named by its first argument, parses the remaining arguments and reports like
// the programs do: the exception text and "\r\n" on standard output, status 255.

#include "cliargs.h"

#include <QByteArray>

#include <cstdio>
#include <cstring>

namespace {

const QString longTypeDescription = QStringLiteral(
    "Each message type has a different set of arguments, with the order of the arguments being important.\n"
    "Each argument must be preceded by a -m\n\n"
    "coredump      -m nameoftask\n"
    "reboot        -m nameofissuer\n"
    "watchdog      -m triggeredby\n"
    "joinlayer     -m nameoftask\n"
    "specfile      -m nameoftask   -m nameoffile\n"
    "sysload       -m sysload\n"
    "machineconfig -m hardwareconf -m linuxver -m rpmsinstalled -m tevrikversion -m diskspace\n"
    "generic       -m recordnumber -m key      -m value");

int parseAndReport(CliArgCmdLine& cmdLine)
{
    try {
        cmdLine.parse(false);
    } catch (const CliArgBaseException& e) {
        std::printf("%s\r\n", e.what());
        return -1;
    }
    return 0;
}

int runSender(CliArgCmdLine& cmdLine)
{
    CliArg address('a', QStringLiteral("address"), QStringLiteral("IP Address of target TevrikSystemLogD."), false,
                   true, nullptr, nullptr);
    address.setLongDescription(QStringLiteral("IP Address of target TevrikSystemLogD, defaults to localhost."));
    CliArg port('p', QStringLiteral("port"), QStringLiteral("TCP Port number on target TevrikSystemLogD."), false,
                true, nullptr, nullptr);
    port.setLongDescription(QStringLiteral("TCP Port number on target machine, defaults to 7777"));
    CliArg type('t', QStringLiteral("type"),
                QStringLiteral("Sets the type of log message to send. Options are: coredump, reboot, watchdog, "
                               "joinlayer, specfile, sysload, machineconfig, generic"),
                true, true, nullptr, nullptr);
    type.setLongDescription(longTypeDescription);
    CliMultiArg payload('m', QStringList(QStringLiteral("msgpayload")), QStringLiteral("Sets the type of ."), true,
                        true, nullptr, nullptr);
    payload.setLongDescription(longTypeDescription);
    CliMultiArg debug('d', QStringList(QStringLiteral("debugMsgs")), QStringLiteral("Enable debug messages."),
                      false, false, nullptr, nullptr);
    debug.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times to "
                                            "increase verbosity. Such as: tevriksystemlog -d -d -d"));
    CliArgHelp help(&cmdLine);
    help.printer()->setProgramDescription(
        QStringLiteral("The tevriklogevent utility provides a commandline interface through which to add entries "
                       "to the tevrik system log.\n\nFor more help with a specific command, use --help <command>"));
    help.printer()->setExecutableName(QStringLiteral("tevriklogevent"));
    for (CliArgIface* arg : QList<CliArgIface*>{&address, &port, &type, &payload, &debug, &help})
        cmdLine.addArg(arg);
    return parseAndReport(cmdLine);
}

// Only optional arguments: one without flags, one without names, one with two flags and two names.
int runOptional(CliArgCmdLine& cmdLine)
{
    CliArg port('p', QStringLiteral("port"), QStringLiteral("Port to use."), false, true, nullptr, nullptr);
    CliArg portable(QChar(), QStringLiteral("portable"), QStringLiteral("Portable mode."), false, false, nullptr,
                    nullptr);
    portable.setFlags({});
    CliMultiArg verbose('v', QStringList(), QStringLiteral("More output."), false, false, nullptr, nullptr);
    CliArg level('l', QStringList{QStringLiteral("level"), QStringLiteral("lvl")}, QStringLiteral("Level of detail."),
                 false, true, nullptr, nullptr);
    level.setFlags({QLatin1Char('l'), QLatin1Char('L')});
    CliArgHelp help(&cmdLine);
    help.printer()->setProgramDescription(QStringLiteral("Optional options."));
    help.printer()->setExecutableName(QStringLiteral("prog"));
    for (CliArgIface* arg : QList<CliArgIface*>{&port, &portable, &verbose, &level, &help})
        cmdLine.addArg(arg);
    return parseAndReport(cmdLine);
}

// A required option, an optional group of two options and a group of one.
int runXor(CliArgCmdLine& cmdLine)
{
    CliArg type('t', QStringLiteral("type"), QStringLiteral("Type of the record."), true, true, nullptr, nullptr);
    CliArg address('a', QStringLiteral("address"), QStringLiteral("Numeric address."), false, true, nullptr, nullptr);
    CliArg host('n', QStringLiteral("hostname"), QStringLiteral("Host name."), false, true, nullptr, nullptr);
    CliXorArg target(QStringLiteral("target"), {&address, &host}, false);
    CliArg hostFile('f', QStringLiteral("hostfile"), QStringLiteral("Hosts file."), false, true, nullptr, nullptr);
    CliXorArg files(QStringLiteral("files"), {&hostFile}, false);
    CliArgHelp help(&cmdLine);
    help.printer()->setProgramDescription(QStringLiteral("Grouped options."));
    help.printer()->setExecutableName(QStringLiteral("prog"));
    for (CliArgIface* arg : QList<CliArgIface*>{&type, &target, &files, &help})
        cmdLine.addArg(arg);
    return parseAndReport(cmdLine);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    // The option set name takes the place of the program name.
    CliArgCmdLine cmdLine(argc - 1, argv + 1);
    const QByteArray set = argv[1];
    if (set == "sender")
        return runSender(cmdLine);
    if (set == "optional")
        return runOptional(cmdLine);
    if (set == "xor")
        return runXor(cmdLine);
    return 2;
}
