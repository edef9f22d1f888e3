#include "cliargs.h"
#include "configsettings.h"
#include "databasewrapper.h"
#include "netconstraints.h"
#include "netvalidation.h"
#include "programmessagehandler.h"
#include "udplistener.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

const char defaultConfigFile[] = "/etc/tevriksystemlog/tevriksystemlog.conf";

// A file named on the command line must be readable; the default file may be missing.
bool configFileUsable(const QString& path, bool named)
{
    if (!named)
        return true;
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(programMessageHandler);

    CliArgCmdLine cmdLine(argc, argv);
    NumericAddressConstraint addressConstraint;
    PortNumberConstraint portConstraint;

    CliArg configFile(QLatin1Char('c'), QStringList{QStringLiteral("configfile")},
                      QStringLiteral("Override the default configuration file."), false, true, nullptr, nullptr);
    configFile.setLongDescription(QStringLiteral("Force TevrikSystemLog to use the specified configuration file "
                                                 "instead of the default at /etc/tevriksystemlog/tevriksystemlog.conf."));
    CliArg address(QLatin1Char('a'), QStringList{QStringLiteral("address")}, QStringLiteral("Set the listen address."),
                   false, true, nullptr, &addressConstraint);
    address.setLongDescription(QStringLiteral(
        "Overrides the ip address to listen on, this supercedes all other configuration sources."));
    CliArg port(QLatin1Char('p'), QStringList{QStringLiteral("port")}, QStringLiteral("Set the listen port."), false,
                true, nullptr, &portConstraint);
    port.setLongDescription(QStringLiteral(
        "Overrides the port to listen on, this supercedes all other configuration sources."));
    CliMultiArg debugMsgs(QLatin1Char('d'), QStringList{QStringLiteral("debugMsgs")},
                          QStringLiteral("Enable debug messages."), false, false, nullptr, nullptr);
    debugMsgs.setLongDescription(QStringLiteral("Enable debug messages. You can place this argument multiple times "
                                                "to increase verbosity. Such as: tevriksystemlog -d -d -d"));

    CliArgHelp help(&cmdLine);
    help.printer()->setProgramDescription(QStringLiteral(
        "The tevriksystemlog daemon provides a system service that\nlistens for tevrik system events and captures "
        "system information.\n\nFor more help with a specific option, use --help <option>"));
    help.printer()->setExecutableName(QString::fromLocal8Bit(argv[0]));

    try {
        cmdLine.addArg(configFile);
        cmdLine.addArg(address);
        cmdLine.addArg(port);
        cmdLine.addArg(debugMsgs);
        cmdLine.addArg(help);
        cmdLine.parse(false);
    } catch (const CliArgBaseException& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\r\n", e.what());
        return -1;
    }

    if (debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(debugMsgs.count());

    const QString configPath =
        configFile.isPresent() ? configFile.value().toString() : QString::fromLatin1(defaultConfigFile);
    if (!configFileUsable(configPath, configFile.isPresent())) {
        writeError(QStringLiteral("Cannot read configuration file \"%1\"").arg(configPath));
        return 1;
    }

    ConfigSettings* settings = ConfigSettings::loadConfig(configPath);
    if (address.isPresent())
        settings->setAddress(address.value().toString());
    if (port.isPresent()) {
        quint16 portNumber = 0;
        parsePortNumber(port.value().toString(), &portNumber);
        settings->setPort(portNumber);
    }
    const QStringList invalid = settings->invalidSettings();
    if (!invalid.isEmpty()) {
        for (const QString& line : invalid)
            writeError(line);
        return 1;
    }

    QCoreApplication app(argc, argv);

    UDPListener listener(*settings, nullptr);
    if (listener.state() != QAbstractSocket::BoundState) {
        writeError(QStringLiteral("Cannot listen on %1 port %2: %3")
                       .arg(settings->getAddress().toString())
                       .arg(settings->getPort())
                       .arg(listener.errorString()));
        return 1;
    }

    DataBaseWrapper store(*settings, nullptr);
    if (!store.isReady()) {
        writeError(QStringLiteral("Cannot use database \"%1\": %2").arg(settings->getDBPath(), store.errorString()));
        return 1;
    }

    QObject::connect(&listener, SIGNAL(newLogEvent(LogEvent*)), &store, SLOT(newLogEvent(LogEvent*)));

    return app.exec();
}
