#include "climultiarg.h"

#include "cliargcmdlinecontext.h"
#include "cliarghelpprinter.h"

#include <limits>

namespace {

// Adds a repeat count without overflowing: a sum beyond the range of int stays at the limit.
int addCount(int count, int increment)
{
    if (increment > 0 && count > std::numeric_limits<int>::max() - increment)
        return std::numeric_limits<int>::max();
    if (increment < 0 && count < std::numeric_limits<int>::min() - increment)
        return std::numeric_limits<int>::min();
    return count + increment;
}

} // namespace

CliMultiArg::CliMultiArg(const QChar& flag, const QStringList& names, const QString& description, bool required,
                         bool withValue, CliArgVisitorIface* visitor, CliArgConstraintIface* constraint)
    : CliArg(flag, names, description, required, withValue, visitor, constraint)
{
}

int CliMultiArg::count() const
{
    return m_count;
}

void CliMultiArg::setValue(const QVariant& value)
{
    QVariantList values = this->value().toList();
    values.append(value);
    CliArg::setValue(values);
}

bool CliMultiArg::process(CliArgCmdLineContext& context)
{
    if (isWithValue()) {
        m_count = addCount(m_count, 1);
        return CliArg::process(context);
    }
    bool numberRead = false;
    int number = 0;
    if (!context.atEnd()) {
        number = context.next().toInt(&numberRead, 10);
        if (!numberRead)
            context.putBack();
    }
    m_count = addCount(m_count, numberRead ? number : 1);
    setPresent(true);
    if (!isDefined())
        CliArg::setValue(true);
    return numberRead;
}

void CliMultiArg::checkConstraint() const
{
    if (!isDefined())
        return;
    const QVariantList values = value().toList();
    for (const QVariant& element : values)
        checkValueConstraint(element);
}

QString CliMultiArg::getHelpString(const QStringList& allNames) const
{
    return getUsageString(allNames) + QStringLiteral(" [...]") + CliArgHelpPrinterIface::beforeDescription
        + description() + CliArgHelpPrinterIface::newLine;
}
