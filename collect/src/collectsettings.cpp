#include "collectsettings.h"

#include "configsections.h"
#include "netvalidation.h"
#include "tevrikdefaults.h"

#include <QDir>
#include <QSettings>

#include <algorithm>

namespace {

// A week: longer intervals are surely a typo, and the timers count milliseconds in an int.
const int maxIntervalS = 7 * 24 * 3600;

// The INI format splits an unquoted value at its commas: the text as it was written.
QString settingText(const QVariant& value)
{
    return value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

QString readBool(const QSettings& settings, const char* key, bool* value)
{
    const QString name = QLatin1String(key);
    if (!settings.contains(name))
        return QString();
    const QString text = settingText(settings.value(name)).trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("yes") || text == QLatin1String("on")
        || text == QLatin1String("1")) {
        *value = true;
    } else if (text == QLatin1String("false") || text == QLatin1String("no") || text == QLatin1String("off")
               || text == QLatin1String("0")) {
        *value = false;
    } else {
        return QStringLiteral("Collect/%1 must be true or false, not \"%2\"").arg(name, text);
    }
    return QString();
}

QString readSeconds(const QSettings& settings, const char* key, int* value)
{
    const QString name = QLatin1String(key);
    if (!settings.contains(name))
        return QString();
    const QString text = settingText(settings.value(name)).trimmed();
    bool ok = !text.isEmpty() && text.at(0).isDigit();
    const qlonglong number = ok ? text.toLongLong(&ok) : 0;
    if (!ok || number > maxIntervalS)
        return QStringLiteral("Collect/%1 must be a whole number of seconds from 0 to %2, not \"%3\"")
            .arg(name)
            .arg(maxIntervalS)
            .arg(text);
    *value = int(number);
    return QString();
}

} // namespace

QStringList CollectSettings::load(const QString& fileName, QStringList* unknownKeys)
{
    QSettings settings(fileName, QSettings::IniFormat);
    QStringList problems;
    if (settings.status() != QSettings::NoError)
        problems << unreadableConfigFileError(fileName);

    settings.beginGroup(QStringLiteral("General Settings"));
    const QString addressText =
        settingText(settings.value(QStringLiteral("address"), QStringLiteral("127.0.0.1"))).trimmed();
    if (!isNumericAddress(addressText))
        problems << QStringLiteral("Invalid address \"%1\": not a numeric IPv4 or IPv6 address").arg(addressText);
    address = QHostAddress(addressText);
    if (address == QHostAddress::AnyIPv4)
        address = QHostAddress::LocalHost;
    else if (address == QHostAddress::AnyIPv6)
        address = QHostAddress::LocalHostIPv6;
    const QString portText =
        settingText(settings.value(QStringLiteral("port"), QString::number(tevrikDefaultPort))).trimmed();
    if (!parsePortNumber(portText, &port))
        problems << QStringLiteral("Invalid port \"%1\": not a decimal integer from 1 to 65535").arg(portText);
    settings.endGroup();

    settings.beginGroup(QLatin1String(configCollectSection));
    for (const QString& problem :
         {readBool(settings, "coredumps", &coredumps), readBool(settings, "boots", &boots),
          readBool(settings, "watchdogs", &watchdogs), readSeconds(settings, "loadinterval", &loadIntervalS),
          readSeconds(settings, "configinterval", &configIntervalS)}) {
        if (!problem.isEmpty())
            problems << problem;
    }

    if (settings.contains(QStringLiteral("mounts"))) {
        const QVariant value = settings.value(QStringLiteral("mounts"));
        mounts.clear();
        const QStringList items = value.userType() == QMetaType::QStringList ? value.toStringList()
                                                                              : QStringList{value.toString()};
        for (const QString& item : items) {
            const QString path = item.trimmed();
            if (path.isEmpty())
                continue;
            if (!QDir::isAbsolutePath(path))
                problems << QStringLiteral("Collect/mounts must name absolute paths, not \"%1\"").arg(path);
            mounts << QDir::cleanPath(path);
        }
    }

    stateFile = settingText(settings.value(QStringLiteral("statefile"),
                                           QString::fromLatin1(tevrikDefaultCollectStateFile)))
                    .trimmed();
    if (!QDir::isAbsolutePath(stateFile))
        problems << QStringLiteral("Collect/statefile must be an absolute path, not \"%1\"").arg(stateFile);

    const auto& sections = configSections();
    const auto own = std::find_if(sections.begin(), sections.end(), [](const ConfigSection& section) {
        return section.name == QLatin1String(configCollectSection);
    });
    Q_ASSERT(own != sections.end());
    for (const QString& key : settings.childKeys()) {
        if (!own->keys.contains(key))
            unknownKeys->append(key);
    }
    settings.endGroup();
    return problems;
}
