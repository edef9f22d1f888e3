// Declares the option set named by its first argument, parses the remaining arguments and reports like
// the programs do: the exception text and "\r\n" on standard output, status 255.

#include "cliargs.h"
#include "commandlinereport.h"
#include "senderoptions.h"

#include <QByteArray>

namespace {

int parseAndReport(CliArgCmdLine& cmdLine)
{
    return parseCommandLine([&cmdLine] { cmdLine.parse(false); }, stdout);
}

// The sender's own six options, under a fixed program name.
int runSender(int argc, char** argv)
{
    SenderOptions options(argc, argv);
    options.help.printer()->setExecutableName(QStringLiteral("tevriklogevent"));
    return parseCommandLine([&options] { options.parse(); }, stdout);
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
    const QByteArray set = argv[1];
    if (set == "sender")
        return runSender(argc - 1, argv + 1);
    CliArgCmdLine cmdLine(argc - 1, argv + 1);
    if (set == "optional")
        return runOptional(cmdLine);
    if (set == "xor")
        return runXor(cmdLine);
    return 2;
}
