#include "cliarg.h"

#include "cliargcmdlinecontext.h"
#include "cliargconstraintiface.h"
#include "cliargexceptions.h"
#include "cliargvisitoriface.h"

#include <algorithm>

CliArg::CliArg(const QChar& flag, const QString& name, const QString& description, bool required, bool withValue,
               CliArgVisitorIface* visitor, CliArgConstraintIface* constraint)
    : CliArg(flag, name.isEmpty() ? QStringList() : QStringList(name), description, required, withValue, visitor,
             constraint)
{
}

CliArg::CliArg(const QChar& flag, const QStringList& names, const QString& description, bool required,
               bool withValue, CliArgVisitorIface* visitor, CliArgConstraintIface* constraint)
    : CliArgIface(names, {flag})
    , m_description(description)
    , m_required(required)
    , m_withValue(withValue)
    , m_visitor(visitor)
    , m_constraint(constraint)
    , m_arguments{this}
{
    if (!m_withValue) {
        CliArg::setValue(false);
        setDefined(false);
    }
}

bool CliArg::isRequired() const
{
    return m_required;
}

bool CliArg::isDefined() const
{
    return m_defined;
}

bool CliArg::isWithValue() const
{
    return m_withValue;
}

void CliArg::check(const QChar& delimiter, QList<QChar>& flags, QStringList& names) const
{
    if (m_flags.isEmpty() && m_names.isEmpty())
        throw CliArgNotDefinedNorNameNorFlagEx();
    for (const QChar& flag : m_flags) {
        if (flag == delimiter || !flag.isLetterOrNumber())
            throw CliArgDissallowedFlagOrNameEx(QStringLiteral("Dissallowed flag: \"%1\".").arg(flag));
        if (flags.contains(flag))
            throw CliArgNameOrFlagAlreadyKnownEx(QStringLiteral("Flag already in use: %1.").arg(flag));
        flags.append(flag);
    }
    for (const QString& name : m_names) {
        const bool hasSpace = std::any_of(name.cbegin(), name.cend(), [](QChar c) { return c.isSpace(); });
        if (name.isEmpty() || hasSpace)
            throw CliArgDissallowedFlagOrNameEx(QStringLiteral("Dissallowed name: \"%1\".").arg(name));
        if (names.contains(name))
            throw CliArgNameOrFlagAlreadyKnownEx(QStringLiteral("Name already in use: %1.").arg(name));
        names.append(name);
    }
}

void CliArg::check() const
{
    if (m_defined)
        return;
    if (m_required && !m_present)
        throw CliArgNotDefinedMandatoryArgumentEx(
            QStringLiteral("Not defined mandatory argument: %1").arg(displayName()));
    if (m_present && m_withValue)
        throw CliArgNotDefinedOptionForTheArgumentEx(
            QStringLiteral("Not defined value of the argument: %1").arg(displayName()));
}

QString CliArg::description() const
{
    return m_description;
}

QString CliArg::longDescription() const
{
    return m_longDescription;
}

CliArgIface* CliArg::giveArgument(const QChar& flag)
{
    return m_flags.contains(flag) ? this : nullptr;
}

CliArgIface* CliArg::giveArgument(const QString& name)
{
    const bool matches = std::any_of(m_names.cbegin(), m_names.cend(),
                                     [&name](const QString& own) { return own.startsWith(name); });
    return matches ? this : nullptr;
}

const QList<CliArgIface*>& CliArg::arguments() const
{
    return m_arguments;
}

void CliArg::checkConstraint() const
{
    if (m_defined)
        checkValueConstraint(m_value);
}

bool CliArg::process(CliArgCmdLineContext& context)
{
    if (!m_withValue) {
        setValue(true);
        return false;
    }
    if (context.atEnd()) {
        setPresent(true);
        return false;
    }
    setValue(QVariant(context.next()));
    return true;
}

void CliArg::visit(CliArgCmdLineContext& context)
{
    if (m_visitor)
        m_visitor->visit(context);
}

QChar CliArg::flag() const
{
    return m_flags.isEmpty() ? QChar() : m_flags.first();
}

void CliArg::setFlag(const QChar& flag)
{
    m_flags = {flag};
}

void CliArg::setFlags(const QList<QChar>& flags)
{
    m_flags = flags;
}

void CliArg::setValue(const QVariant& value)
{
    m_value = value;
    setDefined(true);
}

void CliArg::setLongDescription(const QString& text)
{
    m_longDescription = text;
}

bool CliArg::isPresent() const
{
    return m_present;
}

void CliArg::setDefined(bool defined)
{
    m_defined = defined;
    setPresent(defined);
}

void CliArg::setPresent(bool present)
{
    m_present = present;
}

const QVariant& CliArg::value() const
{
    return m_value;
}

QVariant& CliArg::value()
{
    return m_value;
}

CliArgVisitorIface* CliArg::visitor() const
{
    return m_visitor;
}

CliArgConstraintIface* CliArg::constraint() const
{
    return m_constraint;
}

void CliArg::checkValueConstraint(const QVariant& value) const
{
    if (m_constraint && !m_constraint->check(value))
        throw CliArgContraintNotObservedEx(
            QStringLiteral("Constraint for the argument: %1 hasn't observed. Wrong value is: %2")
                .arg(displayName(), value.toString()));
}
