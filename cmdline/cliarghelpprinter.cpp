#include "cliarghelpprinter.h"

#include "standardoutput.h"

#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

using Markers = CliArgHelpPrinterIface;

// One line of help text split into the parts that the layout aligns.
struct HelpLine
{
    bool hasFlags = false;
    bool hasNames = false;
    QString flags;
    QString names;
    QString description;
};

// The text between the first from and the next to after it; up to the end when to is missing.
QString textBetween(const QString& text, const QString& from, const QString& to)
{
    const int start = text.indexOf(from);
    if (start < 0)
        return QString();
    const int begin = start + from.size();
    const int end = text.indexOf(to, begin);
    return text.mid(begin, end < 0 ? -1 : end - begin);
}

HelpLine parseHelpLine(const QString& line)
{
    HelpLine parsed;
    const bool hasAfterFlags = line.contains(Markers::afterFlags);
    parsed.hasFlags = line.contains(Markers::beforeFlags);
    parsed.hasNames = hasAfterFlags || line.contains(Markers::beforeNames);
    if (parsed.hasFlags)
        parsed.flags = textBetween(line, Markers::beforeFlags,
                                   hasAfterFlags ? Markers::afterFlags : Markers::beforeDescription);
    if (parsed.hasNames)
        parsed.names = textBetween(line, hasAfterFlags ? Markers::afterFlags : Markers::beforeNames,
                                   Markers::beforeDescription);
    const int description = line.indexOf(Markers::beforeDescription);
    if (description >= 0)
        parsed.description = line.mid(description + Markers::beforeDescription.size());
    return parsed;
}

// The lines that end with a newLine marker, without it; text after the last marker is left out.
QVector<HelpLine> helpLines(const QString& help)
{
    QStringList parts = help.split(Markers::newLine);
    parts.removeLast();
    QVector<HelpLine> lines;
    for (const QString& part : qAsConst(parts))
        lines.append(parseHelpLine(part));
    return lines;
}

QString blanks(int count)
{
    return QString(std::max(count, 0), QLatin1Char(' '));
}

} // namespace

CliArgDefaultHelpPrinter* CliArgDefaultHelpPrinter::instance()
{
    static CliArgDefaultHelpPrinter printer;
    return &printer;
}

void CliArgDefaultHelpPrinter::print() const
{
    writeToStandardOutput(m_programDescription + QLatin1String("\n\nUSAGE: ") + m_executableName
                          + QLatin1Char(' ') + m_usageString + QLatin1String("\n\n") + m_helpString);
}

void CliArgDefaultHelpPrinter::setProgramDescription(const QString& description)
{
    m_programDescription = description;
}

void CliArgDefaultHelpPrinter::setExecutableName(const QString& name)
{
    m_executableName = name;
}

void CliArgDefaultHelpPrinter::setUsageString(const QString& usage)
{
    m_usageString = usage;
    replaceMarkersInUsage();
}

void CliArgDefaultHelpPrinter::setHelpString(const QString& help)
{
    m_helpString = help;
    replaceMarkersInHelp();
}

void CliArgDefaultHelpPrinter::setDelimiterChar(const QChar& delimiter)
{
    m_flagPrefix = QString(delimiter);
    m_namePrefix = QString(2, delimiter);
}

void CliArgDefaultHelpPrinter::replaceMarkersInUsage()
{
    replaceUsageMarkers(m_usageString, QStringLiteral(","), QStringLiteral(","), m_flagPrefix, m_namePrefix);
}

void CliArgDefaultHelpPrinter::replaceMarkersInHelp()
{
    m_helpString.replace(argValue, m_argValue)
        .replace(flagMarker, m_flagPrefix)
        .replace(nameMarker, m_namePrefix)
        .replace(namesSeparator, m_namesSeparator);

    const int flagsWidth = calcMaxFlagsLength();
    const int namesWidth = calcMaxNamesLength();
    const int namesColumn = flagsWidth + 4;
    const int descriptionColumn = namesWidth + flagsWidth + 7;

    QString laidOut;
    const QVector<HelpLine> lines = helpLines(m_helpString);
    for (const HelpLine& line : lines) {
        QString text;
        if (line.hasFlags)
            text += QLatin1String("  ") + line.flags;
        if (line.hasFlags && line.hasNames)
            text += QLatin1Char(',') + blanks(namesColumn - line.flags.size() - 3);
        else if (line.hasNames)
            text += blanks(namesColumn);
        text += line.names;
        laidOut += text + blanks(descriptionColumn - text.size()) + line.description + QLatin1Char('\n');
    }
    // Text after the last newLine marker is not a line and stays as it is.
    m_helpString = laidOut + m_helpString.split(newLine).last();
}

int CliArgDefaultHelpPrinter::calcMaxFlagsLength() const
{
    int longest = 0;
    for (const HelpLine& line : helpLines(m_helpString))
        longest = std::max(longest, line.flags.size());
    return longest;
}

int CliArgDefaultHelpPrinter::calcMaxNamesLength() const
{
    int longest = 0;
    for (const HelpLine& line : helpLines(m_helpString))
        longest = std::max(longest, line.names.size());
    return longest;
}

void replaceUsageMarkers(QString& usage, const QString& flagsToNames, const QString& betweenNames,
                         const QString& flagPrefix, const QString& namePrefix)
{
    for (const QString& layoutMarker :
         {Markers::beforeFlags, Markers::beforeNames, Markers::beforeDescription, Markers::newLine})
        usage.remove(layoutMarker);
    usage.replace(Markers::afterFlags, flagsToNames)
        .replace(Markers::namesSeparator, betweenNames)
        .replace(Markers::flagMarker, flagPrefix)
        .replace(Markers::nameMarker, namePrefix)
        .replace(Markers::argValue, CliArgDefaultHelpPrinter::m_argValue);
}

bool isUnique(const QString& prefix, const QStringList& names)
{
    bool found = false;
    for (const QString& name : names) {
        if (!name.startsWith(prefix))
            continue;
        if (found)
            return false;
        found = true;
    }
    return true;
}

void markUnrequiredPartOfTheName(QString& name, const QStringList& names)
{
    int length = 1;
    while (length < name.size() && !isUnique(name.left(length), names))
        ++length;
    if (length < name.size()) {
        name.insert(length, QLatin1Char('['));
        name.append(QLatin1Char(']'));
    }
}
