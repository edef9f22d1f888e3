#include "clixorarg.h"

#include "cliargexceptions.h"

#include <algorithm>

CliXorArg::CliXorArg(const QString& name, const QList<CliArgIface*>& args, bool required)
    : CliArgIface(QStringList(), QList<QChar>())
    , m_args(args)
    , m_required(required)
    , m_name(name)
{
}

bool CliXorArg::isRequired() const
{
    return m_required;
}

bool CliXorArg::isDefined() const
{
    return std::any_of(m_args.cbegin(), m_args.cend(), [](const CliArgIface* arg) { return arg->isDefined(); });
}

bool CliXorArg::isWithValue() const
{
    return false;
}

void CliXorArg::check(const QChar& delimiter, QList<QChar>& flags, QStringList& names) const
{
    for (const CliArgIface* arg : m_args)
        arg->check(delimiter, flags, names);
}

void CliXorArg::check() const
{
    if (m_required && !isDefined())
        throw CliArgNotDefinedMandatoryArgumentEx(QStringLiteral("Not defined mandatory argument: %1").arg(m_name));
    QString firstDefined;
    for (const CliArgIface* arg : m_args) {
        arg->check();
        if (!arg->isDefined())
            continue;
        if (!firstDefined.isEmpty())
            throw CliArgXORMaskNotObservedEx(QStringLiteral("Defined more than one argument under XOR mask. "
                                                            "First defined argument: %1. "
                                                            "Second defined argument: %2.")
                                                 .arg(firstDefined, arg->displayName()));
        firstDefined = arg->displayName();
    }
}

QString CliXorArg::description() const
{
    return QString();
}

QString CliXorArg::longDescription() const
{
    return QString();
}

CliArgIface* CliXorArg::giveArgument(const QChar& flag)
{
    for (CliArgIface* arg : qAsConst(m_args)) {
        if (CliArgIface* answer = arg->giveArgument(flag))
            return answer;
    }
    return nullptr;
}

CliArgIface* CliXorArg::giveArgument(const QString& name)
{
    for (CliArgIface* arg : qAsConst(m_args)) {
        if (CliArgIface* answer = arg->giveArgument(name))
            return answer;
    }
    return nullptr;
}

const QList<CliArgIface*>& CliXorArg::arguments() const
{
    return m_args;
}

void CliXorArg::checkConstraint() const
{
    if (!isDefined())
        return;
    for (const CliArgIface* arg : m_args)
        arg->checkConstraint();
}

QString CliXorArg::getUsageString(const QStringList& allNames) const
{
    QStringList fragments;
    for (const CliArgIface* arg : m_args)
        fragments.append(arg->getUsageString(allNames));
    return fragments.join(QStringLiteral(" | "));
}

QString CliXorArg::getHelpString(const QStringList& allNames) const
{
    QString help;
    for (const CliArgIface* arg : m_args)
        help += arg->getHelpString(allNames);
    return help;
}

bool CliXorArg::process(CliArgCmdLineContext&)
{
    return false;
}

void CliXorArg::visit(CliArgCmdLineContext&)
{
}
