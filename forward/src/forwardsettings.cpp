#include "forwardsettings.h"

#include "configsections.h"
#include "metricsfile.h"
#include "pgconnection.h"
#include "tevrikdefaults.h"

#include <QSettings>
#include <QSysInfo>

namespace {

// A whole number in [minimum, maximum], or the problem with it.
QString readNumber(const QSettings& settings, const QString& key, int minimum, int maximum, int* value)
{
    if (!settings.contains(key))
        return QString();
    const QString text = settings.value(key).toString().trimmed();
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    if (!ok || number < minimum || number > maximum)
        return QStringLiteral("Master Database/%1 must be a whole number from %2 to %3, not \"%4\"")
            .arg(key)
            .arg(minimum)
            .arg(maximum)
            .arg(text);
    *value = static_cast<int>(number);
    return QString();
}

} // namespace

QStringList ForwardSettings::load(const QString& fileName)
{
    QSettings settings(fileName, QSettings::IniFormat);
    dbPath = settings.value(QStringLiteral("General Settings/dbpath"), QString::fromLatin1(tevrikDefaultDbPath))
                 .toString();
    metricsDir = metricsDirSetting(settings);
    settings.beginGroup(QStringLiteral("Master Database"));
    // A conninfo holding spaces but no commas reads as one string; a comma would split it into a list.
    const QVariant conn = settings.value(QStringLiteral("conninfo"));
    conninfo = conn.type() == QVariant::StringList ? conn.toStringList().join(QLatin1Char(',')) : conn.toString();
    conninfo = conninfo.trimmed();
    hostName = settings.value(QStringLiteral("host"), QSysInfo::machineHostName()).toString().trimmed();

    QStringList problems;
    if (settings.status() != QSettings::NoError)
        problems << unreadableConfigFileError(fileName);
    if (dbPath.isEmpty())
        problems << QStringLiteral("General Settings/dbpath is empty");
    if (conninfo.isEmpty())
        problems << QStringLiteral("Master Database/conninfo is not set in \"%1\"").arg(fileName);
    else if (!isValidConnInfo(conninfo))
        // Never quoted: the string may hold a password.
        problems << QStringLiteral("Master Database/conninfo in \"%1\" is not a valid connection string: expected "
                                   "keyword=value pairs or a postgresql:// URI")
                        .arg(fileName);
    if (hostName.isEmpty())
        problems << QStringLiteral("Master Database/host is empty");
    for (const QString& problem :
         {readNumber(settings, QStringLiteral("batchsize"), 1, 1000000, &batchSize),
          readNumber(settings, QStringLiteral("maxdelay"), 0, 3600000, &maxDelayMs),
          readNumber(settings, QStringLiteral("maxretrydelay"), 100, 3600000, &maxRetryDelayMs),
          readNumber(settings, QStringLiteral("partitiondays"), 1, 366, &partitionDays),
          readNumber(settings, QStringLiteral("retention"), 0, 100000, &retentionDays)}) {
        if (!problem.isEmpty())
            problems << problem;
    }
    return problems;
}
