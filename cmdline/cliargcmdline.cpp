#include "cliargcmdline.h"

#include "cliargexceptions.h"

namespace {

QStringList tokensOf(int argc, char** argv)
{
    QStringList tokens;
    for (int i = 1; i < argc; ++i)
        tokens.append(QString::fromLocal8Bit(argv[i]));
    return tokens;
}

} // namespace

CliArgCmdLine::CliArgCmdLine(int argc, char** argv)
    : CliArgCmdLine(tokensOf(argc, argv))
{
}

CliArgCmdLine::CliArgCmdLine(const QStringList& tokens)
    : m_context(tokens)
{
}

const QList<CliArgIface*>& CliArgCmdLine::arguments() const
{
    return m_args;
}

const QChar& CliArgCmdLine::delimiter() const
{
    return m_delimiter;
}

void CliArgCmdLine::setDelimiter(const QChar& delimiter)
{
    m_delimiter = delimiter;
}

void CliArgCmdLine::addArg(CliArgIface& arg)
{
    addArg(&arg);
}

void CliArgCmdLine::addArg(CliArgIface* arg)
{
    if (m_args.contains(arg))
        return;
    m_args.append(arg);
    checkArgumentsCorrectness();
}

void CliArgCmdLine::parse(bool parseAfterDoubleDelimiter)
{
    checkArgumentsCorrectness();
    QString lastOption = QLatin1String("");
    while (!m_context.atEnd()) {
        // A copy: inserting a value part below may move the token in memory.
        const QString token = m_context.next();
        QString namePart;
        QString valuePart;
        splitArgumentAndValue(token, namePart, valuePart);
        const QString bareName = removeDelimiters(namePart);
        if (!valuePart.isNull())
            m_context.prepend(valuePart);

        if (isArgument(token)) {
            if (bareName.isEmpty()) {
                if (!parseAfterDoubleDelimiter)
                    return;
                continue;
            }
            CliArgIface* arg = findArgument(bareName);
            lastOption = namePart;
            processOccurrence(*arg, m_context);
        } else if (isFlag(token)) {
            for (int i = 0; i < bareName.size(); ++i) {
                CliArgIface* arg = findArgument(bareName.at(i));
                lastOption = QString(m_delimiter) + bareName.at(i);
                if (i + 1 == bareName.size()) {
                    processOccurrence(*arg, m_context);
                } else {
                    // The rest of the token is offered as the value or repeat count of this flag.
                    CliArgCmdLineContext rest(QStringList(bareName.mid(i + 1)));
                    if (processOccurrence(*arg, rest))
                        break;
                }
            }
        } else {
            throw CliArgUnexpectedOptionEx(
                QStringLiteral("Unexpected option: %1. Argument \"%2\" doesn't expect any values.")
                    .arg(namePart, lastOption));
        }
    }
    checkMandatoryArguments();
}

bool CliArgCmdLine::isFlag(const QString& token) const
{
    return !isArgument(token) && token.startsWith(m_delimiter);
}

bool CliArgCmdLine::isArgument(const QString& token) const
{
    return token.startsWith(QString(2, m_delimiter));
}

CliArgIface* CliArgCmdLine::findArgument(const QString& name)
{
    const QString unknown = QStringLiteral("Unknown argument: %1%1%2").arg(QString(m_delimiter), name);
    CliArgIface* result = nullptr;
    for (CliArgIface* arg : qAsConst(m_args)) {
        CliArgIface* answer = arg->giveArgument(name);
        if (answer && answer->names().contains(name))
            return answer;
        if (!result)
            result = answer;
        else if (answer)
            throw CliArgUnknownArgumentEx(unknown);
    }
    if (!result)
        throw CliArgUnknownArgumentEx(unknown);
    return result;
}

CliArgIface* CliArgCmdLine::findArgument(const QChar& flag)
{
    for (CliArgIface* arg : qAsConst(m_args)) {
        if (CliArgIface* answer = arg->giveArgument(flag))
            return answer;
    }
    throw CliArgUnknownArgumentEx(QStringLiteral("Unknown argument: %1%2").arg(QString(m_delimiter), QString(flag)));
}

void CliArgCmdLine::checkArgumentsCorrectness() const
{
    QList<QChar> flags;
    QStringList names;
    for (const CliArgIface* arg : m_args)
        arg->check(m_delimiter, flags, names);
}

void CliArgCmdLine::splitArgumentAndValue(const QString& token, QString& name, QString& value)
{
    const int equals = token.indexOf(QLatin1Char('='));
    if (equals < 0) {
        name = token;
        value = QString();
        return;
    }
    name = token.left(equals);
    // An empty value after "=" is a value all the same, so it must not become a null string.
    value = equals + 1 < token.size() ? token.mid(equals + 1) : QLatin1String("");
}

QString CliArgCmdLine::removeDelimiters(const QString& name) const
{
    QString bare = name;
    for (int i = 0; i < 2 && bare.startsWith(m_delimiter); ++i)
        bare.remove(0, 1);
    return bare;
}

void CliArgCmdLine::checkMandatoryArguments() const
{
    for (const CliArgIface* arg : m_args)
        arg->check();
}

bool CliArgCmdLine::processOccurrence(CliArgIface& arg, CliArgCmdLineContext& valueSource)
{
    const bool tookToken = arg.process(valueSource);
    arg.visit(m_context);
    arg.checkConstraint();
    return tookToken;
}
