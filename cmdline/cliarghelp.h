#ifndef CLIARGHELP_H
#define CLIARGHELP_H

#include "cliarg.h"

class CliArgCmdLine;
class CliArgHelpPrinterIface;

// The help option (-h, --help): prints the general help, or the help of the option named after it,
// and always ends the parse with CliArgHelpHasPrintedEx.
class CliArgHelp : public CliArg
{
public:
    // cmdLine must outlive the help argument.
    explicit CliArgHelp(CliArgCmdLine* cmdLine);

    CliArgHelpPrinterIface* printer();

    void visit(CliArgCmdLineContext& context) override;

    QString createUsageString();
    void createUsageStringForArgs(QString& usage, const QList<CliArgIface*>& args, const QChar& open,
                                  const QChar& close);
    QString createHelpString();
    void removeMarkersFromUsageString(QString& usage);
    [[noreturn]] void printHelp(CliArgIface* arg);
    [[noreturn]] void printHelp(const QString& name);
    void initNames(const QList<CliArgIface*>& args);

private:
    // Help for a flag word without its delimiter; every character must name the same argument.
    [[noreturn]] void printFlagHelp(const QString& flags);
    [[noreturn]] void printAndFinish(const QString& text);

    CliArgHelpPrinterIface* m_printer;
    CliArgCmdLine* m_cmdLine;
    QStringList m_allNames;
};

#endif
