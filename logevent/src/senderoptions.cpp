#include "senderoptions.h"

#include "eventmodel.h"
#include "tevrikdefaults.h"

#include <QStringList>

#include <array>

namespace {

// Each type with its values in order, the types and the -m columns aligned; a row's last value is not padded.
QString typesHelp()
{
    int typeWidth = 0;
    std::array<int, maxEventColumns> valueWidths {};
    for (const EventKind& kind : eventKinds()) {
        typeWidth = qMax(typeWidth, int(qstrlen(kind.type)) + 1);
        for (int c = 0; c + 1 < kind.columnCount; ++c) {
            int& width = valueWidths[std::size_t(c)];
            width = qMax(width, int(qstrlen(kind.columns[std::size_t(c)].value)) + 1);
        }
    }
    QString help = QStringLiteral("Each message type has a different set of arguments, with the order of the "
                                  "arguments being important.\nEach argument must be preceded by a -m\n");
    for (EventKindId id : senderTypeOrder()) {
        const EventKind& kind = eventKind(id);
        QString line = QString(QLatin1String(kind.type)).leftJustified(typeWidth);
        for (int c = 0; c < kind.columnCount; ++c) {
            const QString value = QLatin1String(kind.columns[std::size_t(c)].value);
            const bool last = c + 1 == kind.columnCount;
            line += QStringLiteral("-m ") + (last ? value : value.leftJustified(valueWidths[std::size_t(c)]));
        }
        help += QLatin1Char('\n') + line;
    }
    return help;
}

} // namespace

SenderOptions::SenderOptions(int argc, char** argv)
    : cmdLine(argc, argv)
    , address(QLatin1Char('a'), QStringList{QStringLiteral("address")},
              QStringLiteral("IP Address of target TevrikSystemLogD."), false, true, nullptr, &m_addressConstraint)
    , port(QLatin1Char('p'), QStringList{QStringLiteral("port")},
           QStringLiteral("UDP port number on target TevrikSystemLogD."), false, true, nullptr, &m_portConstraint)
    , type(QLatin1Char('t'), QStringList{QStringLiteral("type")},
           QStringLiteral("Sets the type of log message to send. Options are: ")
               + QString::fromStdString(senderTypeList()),
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
    type.setLongDescription(typesHelp());
    msgpayload.setLongDescription(typesHelp());
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
