#include "daemonoptions.h"

#include "tevrikdefaults.h"

DaemonOptions::DaemonOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , configFile(QLatin1Char('c'), QStringList{QStringLiteral("configfile")},
                 QStringLiteral("Override the default configuration file."), false, true, nullptr, nullptr)
    , address(QLatin1Char('a'), QStringList{QStringLiteral("address")}, QStringLiteral("Set the listen address."),
              false, true, nullptr, &m_addressConstraint)
    , port(QLatin1Char('p'), QStringList{QStringLiteral("port")}, QStringLiteral("Set the listen port."), false, true,
           nullptr, &m_portConstraint)
    , debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")}, QStringLiteral("Enable debug messages."),
                false, false, nullptr, nullptr)
    , help(&cmdLine)
{
    configFile.setLongDescription(QStringLiteral("Force TevrikSystemLog to use the specified configuration file "
                                                 "instead of the default at ")
                                  + QLatin1String(tevrikDefaultConfigFile) + QLatin1Char('.'));
    address.setLongDescription(QStringLiteral(
        "Overrides the ip address to listen on, this supercedes all other configuration sources."));
    port.setLongDescription(QStringLiteral(
        "Overrides the port to listen on, this supercedes all other configuration sources."));
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriksystemlog -d -d -d"));

    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriksystemlog daemon provides a system service that\nlistens for tevrik system events and captures "
        "system information.\n\nFor more help with a specific option, use --help <option>"));
    help.printer()->setExecutableName(argc > 0 ? QString::fromLocal8Bit(argv[0]) : QString());
}

void DaemonOptions::parse()
{
    cmdLine.addArg(configFile);
    cmdLine.addArg(address);
    cmdLine.addArg(port);
    cmdLine.addArg(debugMsgs);
    cmdLine.addArg(help);
    cmdLine.parse(false);
}
