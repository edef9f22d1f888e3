#include "cliarghelp.h"

#include "cliargcmdline.h"
#include "cliargexceptions.h"
#include "cliarghelpprinter.h"
#include "standardoutput.h"

namespace {

void splitByRequired(const QList<CliArgIface*>& args, QList<CliArgIface*>& required, QList<CliArgIface*>& optional)
{
    for (CliArgIface* arg : args)
        (arg->isRequired() ? required : optional).append(arg);
}

} // namespace

CliArgHelp::CliArgHelp(CliArgCmdLine* cmdLine)
    : CliArg(QLatin1Char('h'), QStringLiteral("help"), QStringLiteral("Print this help."), false, false, nullptr,
             nullptr)
    , m_printer(CliArgDefaultHelpPrinter::instance())
    , m_cmdLine(cmdLine)
{
}

CliArgHelpPrinterIface* CliArgHelp::printer()
{
    return m_printer;
}

void CliArgHelp::visit(CliArgCmdLineContext& context)
{
    initNames(m_cmdLine->arguments());
    if (context.atEnd()) {
        m_printer->setDelimiterChar(m_cmdLine->delimiter());
        m_printer->setUsageString(createUsageString());
        m_printer->setHelpString(createHelpString());
        m_printer->print();
        throw CliArgHelpHasPrintedEx();
    }
    const QString topic = context.next();
    if (m_cmdLine->isArgument(topic))
        printHelp(topic.mid(2));
    else if (m_cmdLine->isFlag(topic))
        printFlagHelp(topic.mid(1));
    else
        printHelp(topic);
}

QString CliArgHelp::createUsageString()
{
    QList<CliArgIface*> required;
    QList<CliArgIface*> optional;
    splitByRequired(m_cmdLine->arguments(), required, optional);
    QString usage;
    createUsageStringForArgs(usage, required, QChar(), QChar());
    createUsageStringForArgs(usage, optional, QLatin1Char('['), QLatin1Char(']'));
    return usage;
}

void CliArgHelp::createUsageStringForArgs(QString& usage, const QList<CliArgIface*>& args, const QChar& open,
                                          const QChar& close)
{
    if (!usage.isEmpty())
        usage += QLatin1Char(' ');
    for (int i = 0; i < args.size(); ++i) {
        if (i > 0)
            usage += QLatin1Char(' ');
        if (!open.isNull())
            usage += open;
        usage += args.at(i)->getUsageString(m_allNames);
        if (!close.isNull())
            usage += close;
    }
}

QString CliArgHelp::createHelpString()
{
    QList<CliArgIface*> required;
    QList<CliArgIface*> optional;
    splitByRequired(m_cmdLine->arguments(), required, optional);
    QString help;
    for (const CliArgIface* arg : required + optional)
        help += arg->getHelpString(m_allNames);
    return help;
}

void CliArgHelp::removeMarkersFromUsageString(QString& usage)
{
    const QChar& delimiter = m_cmdLine->delimiter();
    replaceUsageMarkers(usage, QStringLiteral(", "), QStringLiteral(", "), QString(delimiter),
                        QString(2, delimiter));
}

void CliArgHelp::printHelp(CliArgIface* arg)
{
    QString usage = arg->getUsageString(m_allNames);
    removeMarkersFromUsageString(usage);
    const QString longText = arg->longDescription();
    printAndFinish(QLatin1String("\nUSAGE: ") + usage + QLatin1String("\n\nDESCRIPTION: ")
                   + (longText.isEmpty() ? arg->description() : longText) + QLatin1Char('\n'));
}

void CliArgHelp::printHelp(const QString& name)
{
    if (name.isEmpty())
        printAndFinish(QStringLiteral("Empty argument name."));
    CliArgIface* arg = nullptr;
    try {
        arg = m_cmdLine->findArgument(name);
    } catch (const CliArgUnknownArgumentEx&) {
        printAndFinish(QStringLiteral("Unknown argument: %1%1%2").arg(QString(m_cmdLine->delimiter()), name));
    }
    printHelp(arg);
}

void CliArgHelp::initNames(const QList<CliArgIface*>& args)
{
    for (CliArgIface* arg : args) {
        const QList<CliArgIface*>& members = arg->arguments();
        // A group answers with its members, an ordinary argument with itself alone.
        const bool isGroup = !members.isEmpty() && members.first() != arg;
        if (isGroup)
            initNames(members);
        else
            m_allNames += arg->names();
    }
}

void CliArgHelp::printFlagHelp(const QString& flags)
{
    if (flags.isEmpty())
        printAndFinish(QStringLiteral("Empty flag."));
    CliArgIface* arg = nullptr;
    try {
        arg = m_cmdLine->findArgument(flags.at(0));
        for (const QChar& flag : flags) {
            if (m_cmdLine->findArgument(flag) != arg) {
                arg = nullptr;
                break;
            }
        }
    } catch (const CliArgUnknownArgumentEx&) {
        arg = nullptr;
    }
    if (!arg)
        printAndFinish(QStringLiteral("Unknown argument: %1%2").arg(QString(m_cmdLine->delimiter()), flags));
    printHelp(arg);
}

void CliArgHelp::printAndFinish(const QString& text)
{
    writeToStandardOutput(text);
    throw CliArgHelpHasPrintedEx();
}
