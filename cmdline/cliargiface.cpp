#include "cliargiface.h"

#include "cliarghelpprinter.h"

CliArgIface::CliArgIface(const QStringList& names, const QList<QChar>& flags)
    : m_flags(flags)
    , m_names(names)
{
}

CliArgIface::~CliArgIface() = default;

const QList<QChar>& CliArgIface::flags() const
{
    return m_flags;
}

const QStringList& CliArgIface::names() const
{
    return m_names;
}

QString CliArgIface::getUsageString(const QStringList& allNames) const
{
    using Markers = CliArgHelpPrinterIface;
    QString usage;
    if (!flags().isEmpty()) {
        usage += Markers::beforeFlags + Markers::flagMarker;
        for (const QChar& flag : flags())
            usage += flag;
    }
    if (!names().isEmpty()) {
        usage += flags().isEmpty() ? Markers::beforeNames : Markers::afterFlags;
        for (int i = 0; i < names().size(); ++i) {
            if (i > 0)
                usage += Markers::namesSeparator;
            QString name = names().at(i);
            markUnrequiredPartOfTheName(name, allNames);
            usage += Markers::nameMarker + name;
        }
    }
    if (isWithValue())
        usage += Markers::argValue;
    return usage;
}

QString CliArgIface::getHelpString(const QStringList& allNames) const
{
    return getUsageString(allNames) + CliArgHelpPrinterIface::beforeDescription + description()
        + CliArgHelpPrinterIface::newLine;
}

QString CliArgIface::displayName() const
{
    if (!names().isEmpty())
        return names().first();
    return flags().isEmpty() ? QString() : QString(flags().first());
}
