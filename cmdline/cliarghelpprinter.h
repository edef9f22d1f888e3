#ifndef CLIARGHELPPRINTER_H
#define CLIARGHELPPRINTER_H

#include <QChar>
#include <QLatin1String>
#include <QString>
#include <QStringList>

// Prints the general help from the marker texts that the arguments produce.
class CliArgHelpPrinterIface
{
public:
    // Markers in the usage and help texts of the arguments, replaced by the layout of the printer.
    static inline const QString beforeFlags{QLatin1String("%beforeFlags%")};
    static inline const QString afterFlags{QLatin1String("%afterFlags%")};
    static inline const QString namesSeparator{QLatin1String("%namesSeparator%")};
    static inline const QString beforeNames{QLatin1String("%beforeNames%")};
    static inline const QString beforeDescription{QLatin1String("%beforeDescription%")};
    static inline const QString newLine{QLatin1String("%newLine%")};
    static inline const QString argValue{QLatin1String("%value%")};
    static inline const QString flagMarker{QLatin1String("%flagMarker%")};
    static inline const QString nameMarker{QLatin1String("%nameMarker%")};

    virtual ~CliArgHelpPrinterIface() = default;

    virtual void print() const = 0;
    virtual void setProgramDescription(const QString& description) = 0;
    virtual void setExecutableName(const QString& name) = 0;
    virtual void setUsageString(const QString& usage) = 0;
    virtual void setHelpString(const QString& help) = 0;
    virtual void setDelimiterChar(const QChar& delimiter) = 0;
};

// The process-wide printer: an aligned two-column listing on standard output.
class CliArgDefaultHelpPrinter : public CliArgHelpPrinterIface
{
public:
    static inline const QString m_argValue{QLatin1String(" <arg>")};
    static inline const QString m_namesSeparator{QLatin1String(", ")};

    static CliArgDefaultHelpPrinter* instance();

    void print() const override;
    void setProgramDescription(const QString& description) override;
    void setExecutableName(const QString& name) override;
    // Both setters lay their text out at once, so the delimiter must be set before them.
    void setUsageString(const QString& usage) override;
    void setHelpString(const QString& help) override;
    void setDelimiterChar(const QChar& delimiter) override;

private:
    CliArgDefaultHelpPrinter() = default;

    void replaceMarkersInUsage();
    void replaceMarkersInHelp();
    int calcMaxFlagsLength() const;
    int calcMaxNamesLength() const;

    QString m_helpString;
    QString m_usageString;
    QString m_programDescription;
    QString m_executableName;
    QString m_flagPrefix;
    QString m_namePrefix;
};

// Turns the markers of a usage text into plain text: afterFlags and namesSeparator become the given texts,
// the flag and name markers the prefixes, argValue " <arg>"; layout markers are dropped.
void replaceUsageMarkers(QString& usage, const QString& flagsToNames, const QString& betweenNames,
                         const QString& flagPrefix, const QString& namePrefix);

// False as soon as a second name begins with prefix.
bool isUnique(const QString& prefix, const QStringList& names);

// Brackets the part of name after its shortest prefix that is unique among names, as in a[ddress].
void markUnrequiredPartOfTheName(QString& name, const QStringList& names);

#endif
