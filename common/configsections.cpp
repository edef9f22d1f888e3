#include "configsections.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>
#include <numeric>

const char configGeneralSection[] = "General Settings";
const char configMasterSection[] = "Master Database";
const char configCollectSection[] = "Collect";

namespace {

// Names this many edits or fewer away from a known one are taken for a misspelling of it.
constexpr int maxSuggestionEdits = 2;

// The number of single-character insertions, deletions and substitutions that turn a into b, ignoring case.
int editDistance(const QString& a, const QString& b)
{
    const QString x = a.toLower();
    const QString y = b.toLower();
    // One row of the table of distances between the prefixes of x and of y.
    QVector<int> row(y.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (int i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= y.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// The known name closest to name, when it is close enough to be what was meant; empty otherwise.
QString closestName(const QString& name, const QStringList& known)
{
    QString best;
    int bestEdits = maxSuggestionEdits + 1;
    for (const QString& candidate : known) {
        const int edits = editDistance(name, candidate);
        // A short name is close to too many others for the suggestion to mean anything.
        if (edits < bestEdits && edits < candidate.size() / 2 + 1) {
            best = candidate;
            bestEdits = edits;
        }
    }
    return best;
}

const ConfigSection* findSection(const QString& name)
{
    for (const ConfigSection& section : configSections()) {
        if (section.name == name)
            return &section;
    }
    return nullptr;
}

// The section, other than except, that has the key; empty when none has.
QString sectionOfKey(const QString& key, const QString& except)
{
    for (const ConfigSection& section : configSections()) {
        if (section.name != except && section.keys.contains(key))
            return section.name;
    }
    return QString();
}

QString keyHint(const QString& key, const ConfigSection* section)
{
    const QString home = sectionOfKey(key, section ? section->name : QString());
    if (!home.isEmpty())
        return QStringLiteral("; it belongs in section [%1]").arg(home);
    const QString meant = section ? closestName(key, section->keys) : QString();
    return meant.isEmpty() ? QString() : QStringLiteral("; did you mean \"%1\"?").arg(meant);
}

// Qt skips such lines quietly, and tells of them only the first time it reads the file, so they are looked for here.
QStringList malformedLines(const QString& fileName)
{
    QFile file(fileName);
    if (!file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("Cannot read the configuration file \"%1\": %2; every setting takes its default")
                    .arg(fileName, file.errorString())};
    QStringList warnings;
    bool continued = false;
    for (int number = 1; !file.atEnd(); ++number) {
        const QByteArray line = file.readLine().trimmed();
        // A line that ends in a backslash goes on in the next.
        const bool continues = line.endsWith('\\');
        const bool usable = continued || line.isEmpty() || line.startsWith(';') || line.contains('=')
                            || (line.startsWith('[') && line.contains(']'));
        continued = continues;
        if (!usable)
            warnings << QStringLiteral("Line %1 of \"%2\" is neither [section] nor key=value (comments begin with "
                                       "\";\"): ignored")
                            .arg(number)
                            .arg(fileName);
    }
    return warnings;
}

} // namespace

const QVector<ConfigSection>& configSections()
{
    static const QVector<ConfigSection> sections = {
        {QLatin1String(configGeneralSection),
         {QStringLiteral("address"), QStringLiteral("port"), QStringLiteral("dbpath"), QStringLiteral("maxheld"),
          QStringLiteral("maxage"), QStringLiteral("maxsize"), QStringLiteral("metricsdir")}},
        {QLatin1String(configMasterSection),
         {QStringLiteral("conninfo"), QStringLiteral("batchsize"), QStringLiteral("maxdelay"),
          QStringLiteral("maxretrydelay"), QStringLiteral("host"), QStringLiteral("partitiondays"),
          QStringLiteral("retention")}},
        {QLatin1String(configCollectSection),
         {QStringLiteral("coredumps"), QStringLiteral("boots"), QStringLiteral("watchdogs"),
          QStringLiteral("loadinterval"), QStringLiteral("configinterval"), QStringLiteral("mounts"),
          QStringLiteral("statefile")}},
    };
    return sections;
}

QStringList configFileWarnings(QSettings& settings)
{
    const QString file = settings.fileName();
    QStringList knownSections;
    for (const ConfigSection& section : configSections())
        knownSections << section.name;

    QStringList warnings = malformedLines(file);
    // Keys before the first section header, or in [General], which the INI format reads as the same place.
    for (const QString& key : settings.childKeys())
        warnings << QStringLiteral("Key \"%1\" of \"%2\" is outside any section: ignored%3")
                        .arg(key, file, keyHint(key, nullptr));
    for (const QString& name : settings.childGroups()) {
        const ConfigSection* section = findSection(name);
        if (!section) {
            const QString meant = closestName(name, knownSections);
            warnings << QStringLiteral("Unknown section [%1] in \"%2\": its keys are ignored%3")
                            .arg(name, file,
                                 meant.isEmpty() ? QString() : QStringLiteral("; did you mean [%1]?").arg(meant));
            continue;
        }
        settings.beginGroup(name);
        const QStringList keys = settings.allKeys();
        settings.endGroup();
        for (const QString& key : keys) {
            if (!section->keys.contains(key))
                warnings << QStringLiteral("Unknown key \"%1\" in section [%2] of \"%3\": ignored%4")
                                .arg(key, name, file, keyHint(key, section));
        }
    }
    return warnings;
}

bool configFileReadable(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

QString unreadableConfigFileError(const QString& path)
{
    return QStringLiteral("Cannot read configuration file \"%1\"").arg(path);
}
