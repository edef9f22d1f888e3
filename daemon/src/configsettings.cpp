#include "configsettings.h"

#include "configsections.h"
#include "metricsfile.h"
#include "netvalidation.h"
#include "tevrikdefaults.h"

#include <QFileInfo>
#include <QSettings>
#include <QVariant>

#include <algorithm>
#include <utility>

namespace {

QString addressProblem(const QString& text)
{
    return QStringLiteral("Invalid address \"%1\": not a numeric IPv4 or IPv6 address").arg(text);
}

QString portProblem(const QString& text)
{
    return QStringLiteral("Invalid port \"%1\": not a decimal integer from 1 to 65535").arg(text);
}

// An empty name would make SQLite keep every event in a temporary database that vanishes.
QString dbPathProblem(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("Invalid dbpath \"\": the database needs a file path") : QString();
}

const int defaultMaxHeldMiB = 64;
// A tebibyte of held rows or of database, and a century of events, are beyond any sensible setting.
const int maxLimitMiB = 1024 * 1024;
const int maxAgeLimitDays = 36500;

// A whole number from 0 to max, or -1 for anything else; an absent key yields its default.
int limitValue(const QVariant& value, int defaultValue, int max)
{
    if (!value.isValid())
        return defaultValue;
    if (value.userType() != QMetaType::QString)
        return -1;
    const QString text = value.toString().trimmed();
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok);
    const bool digitsOnly =
        !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    return ok && digitsOnly && number <= max ? int(number) : -1;
}

QString limitText(const QVariant& value)
{
    return value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

} // namespace

ConfigSettings::ConfigSettings()
    : m_address(QHostAddress::LocalHost)
    , m_port(tevrikDefaultPort)
    , m_dbPath(QString::fromLatin1(tevrikDefaultDbPath))
    , m_maxHeldMiB(defaultMaxHeldMiB)
{
}

ConfigSettings* ConfigSettings::getInstance()
{
    static ConfigSettings instance;
    return &instance;
}

ConfigSettings* ConfigSettings::loadConfig(QString fileName)
{
    ConfigSettings* config = getInstance();
    config->read(fileName);
    return config;
}

void ConfigSettings::read(const QString& fileName)
{
    QSettings settings(fileName, QSettings::IniFormat);
    m_fileFound = QFileInfo::exists(fileName);
    settings.beginGroup(QLatin1String(configGeneralSection));

    setAddress(settings.value(QStringLiteral("address"), QHostAddress(QHostAddress::LocalHost).toString()).toString());

    const QVariant port = settings.value(QStringLiteral("port"), tevrikDefaultPort);
    setPort(static_cast<quint16>(port.toInt()));
    // The low 16 bits of a number outside 1..65535 may well be a usable port, so judge the text.
    quint16 parsed = 0;
    if (!parsePortNumber(port.toString(), &parsed))
        m_portProblem = portProblem(port.toString());

    const QVariant dbPath = settings.value(QStringLiteral("dbpath"), QString::fromLatin1(tevrikDefaultDbPath));
    setDBPath(dbPath.toString());
    // The INI format splits an unquoted value at its commas, and such a list reads as no text at all.
    if (dbPath.userType() == QMetaType::QStringList)
        m_dbPathProblem = QStringLiteral("Invalid dbpath \"%1\": a path with a comma must be in double quotes")
                              .arg(dbPath.toStringList().join(QLatin1Char(',')));

    settings.endGroup();
    m_metricsDir = metricsDirSetting(settings);
    loadLimits(settings);
    // Qt reads what it can of a file with stray lines, as it always has: a start or a reload goes on with the rest.
    m_fileWarnings = configFileWarnings(settings);
}

void ConfigSettings::keepOnReload(bool address, bool port)
{
    m_keepAddress = address;
    m_keepPort = port;
}

QStringList ConfigSettings::reloadProblems(const QString& fileName, ConfigSettings& candidate) const
{
    const QFileInfo file(fileName);
    if (!file.exists())
        return {QStringLiteral("the file no longer exists")};
    if (!file.isFile() || !file.isReadable())
        return {QStringLiteral("the file cannot be read")};
    // Values that the command line overrides do not matter, as at the start.
    if (m_keepAddress)
        candidate.m_addressProblem.clear();
    if (m_keepPort)
        candidate.m_portProblem.clear();
    return candidate.invalidSettings();
}

ConfigSettings::Reload ConfigSettings::reload(const QString& fileName)
{
    Reload result;
    // A default file that was absent at the start and still is leaves the defaults as they are.
    if (!m_fileFound && !QFileInfo::exists(fileName)) {
        result.loaded = true;
        return result;
    }
    ConfigSettings candidate;
    candidate.read(fileName);
    const QStringList problems = reloadProblems(fileName, candidate);
    if (!problems.isEmpty()) {
        result.warnings << QStringLiteral("Cannot reload the configuration file \"%1\": %2; the running settings stay")
                               .arg(fileName, problems.join(QStringLiteral("; ")));
        return result;
    }
    result.loaded = true;
    m_fileFound = true;
    m_fileWarnings = candidate.m_fileWarnings;
    result.warnings = m_fileWarnings;
    if (candidate.m_dbPath != m_dbPath)
        result.warnings << QStringLiteral("The database path cannot change while the daemon runs: it stores into "
                                          "\"%1\" until it is restarted, not into \"%2\"")
                               .arg(m_dbPath, candidate.m_dbPath);

    const bool newAddress = !m_keepAddress && candidate.m_address != m_address;
    const bool newPort = !m_keepPort && candidate.m_port != m_port;
    const bool newMaxHeld = candidate.m_maxHeldMiB != m_maxHeldMiB;
    const bool newMaxAge = candidate.m_maxAgeDays != m_maxAgeDays;
    const bool newMaxSize = candidate.m_maxSizeMiB != m_maxSizeMiB;
    const bool newMetricsDir = candidate.m_metricsDir != m_metricsDir;
    const bool newMaster = candidate.m_masterConfigured != m_masterConfigured;
    const std::pair<bool, const char*> keys[] = {
        {newAddress, "address"}, {newPort, "port"},           {newMaxHeld, "maxheld"},  {newMaxAge, "maxage"},
        {newMaxSize, "maxsize"}, {newMetricsDir, "metricsdir"}, {newMaster, "conninfo"}};
    for (const auto& [changed, key] : keys) {
        if (changed)
            result.changed << QLatin1String(key);
    }

    // Each setter makes the listener bind again, so only a value that changed is set.
    if (newAddress)
        setAddress(candidate.m_address);
    if (newPort)
        setPort(candidate.m_port);
    if (newMaxHeld || newMaxAge || newMaxSize || newMaster) {
        m_maxHeldMiB = candidate.m_maxHeldMiB;
        m_maxAgeDays = candidate.m_maxAgeDays;
        m_maxSizeMiB = candidate.m_maxSizeMiB;
        m_masterConfigured = candidate.m_masterConfigured;
        emit limitsChanged();
    }
    if (newMetricsDir) {
        m_metricsDir = candidate.m_metricsDir;
        emit metricsDirChanged(m_metricsDir);
    }
    return result;
}

void ConfigSettings::loadLimits(QSettings& settings)
{
    struct Limit
    {
        const char* key;
        int defaultValue;
        int max;
        const char* unit;
        int* value;
    };
    const Limit limits[] = {
        {"maxheld", defaultMaxHeldMiB, maxLimitMiB, "MiB", &m_maxHeldMiB},
        {"maxage", 0, maxAgeLimitDays, "days", &m_maxAgeDays},
        {"maxsize", 0, maxLimitMiB, "MiB", &m_maxSizeMiB},
    };
    m_limitProblems.clear();
    settings.beginGroup(QLatin1String(configGeneralSection));
    for (const Limit& limit : limits) {
        const QVariant value = settings.value(QLatin1String(limit.key));
        const int number = limitValue(value, limit.defaultValue, limit.max);
        *limit.value = number < 0 ? limit.defaultValue : number;
        if (number < 0)
            m_limitProblems << QStringLiteral("Invalid %1 \"%2\": not a whole number of %3 from 0 to %4")
                                   .arg(QLatin1String(limit.key), limitText(value), QLatin1String(limit.unit))
                                   .arg(limit.max);
    }
    settings.endGroup();

    settings.beginGroup(QLatin1String(configMasterSection));
    m_masterConfigured = !limitText(settings.value(QStringLiteral("conninfo"))).trimmed().isEmpty();
    settings.endGroup();
}

QHostAddress ConfigSettings::getAddress() const
{
    return m_address;
}

quint16 ConfigSettings::getPort() const
{
    return m_port;
}

QString ConfigSettings::getDBPath() const
{
    return m_dbPath;
}

int ConfigSettings::getMaxHeldMiB() const
{
    return m_maxHeldMiB;
}

int ConfigSettings::getMaxAgeDays() const
{
    return m_maxAgeDays;
}

int ConfigSettings::getMaxSizeMiB() const
{
    return m_maxSizeMiB;
}

bool ConfigSettings::isMasterConfigured() const
{
    return m_masterConfigured;
}

QStringList ConfigSettings::invalidSettings() const
{
    QStringList problems;
    if (!m_addressProblem.isEmpty())
        problems << m_addressProblem;
    if (!m_portProblem.isEmpty())
        problems << m_portProblem;
    if (!m_dbPathProblem.isEmpty())
        problems << m_dbPathProblem;
    return problems + m_limitProblems;
}

void ConfigSettings::setAddress(const QHostAddress& val)
{
    // Qt binds the null address to every interface: it is never a valid setting.
    m_addressProblem = val.isNull() ? addressProblem(val.toString()) : QString();
    m_address = val;
    emit addressChanged(m_address);
}

void ConfigSettings::setAddress(const QString& val)
{
    // Qt binds the null address to every interface, so a host name must not pass unnoticed.
    m_addressProblem = isNumericAddress(val) ? QString() : addressProblem(val);
    m_address.setAddress(val);
    emit addressChanged(m_address);
}

void ConfigSettings::setPort(quint16 val)
{
    m_portProblem = isUsablePort(val) ? QString() : portProblem(QString::number(val));
    m_port = val;
    emit portChanged(m_port);
}

void ConfigSettings::setDBPath(const QString& val)
{
    m_dbPathProblem = dbPathProblem(val);
    m_dbPath = val;
    emit dbPathChanged(m_dbPath);
}
