#ifndef CONFIGSECTIONS_H
#define CONFIGSECTIONS_H

#include <QString>
#include <QStringList>
#include <QVector>

class QSettings;

// The sections of the configuration file that the programs share.
extern const char configGeneralSection[];
extern const char configMasterSection[];
extern const char configCollectSection[];

// One section of the file and every key that some program reads in it.
struct ConfigSection
{
    QString name;
    QStringList keys;
};

// Every section of the file with its keys, in the order of the installed file.
const QVector<ConfigSection>& configSections();

// One warning for each key of the file that no program reads in its section, each unknown section, each key
// outside any section, each line that is neither a section, a key nor a comment, and a file that cannot be read.
// A warning suggests the name that was probably meant.
QStringList configFileWarnings(QSettings& settings);

// Whether path is a regular file that this process may read.
bool configFileReadable(const QString& path);
// The error that every program gives for a configuration file that it cannot read.
QString unreadableConfigFileError(const QString& path);

#endif
