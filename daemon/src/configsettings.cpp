#include "configsettings.h"

#include "netvalidation.h"
#include "tevrikdefaults.h"

#include <QSettings>
#include <QVariant>

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

} // namespace

ConfigSettings::ConfigSettings()
    : m_address(QHostAddress::LocalHost)
    , m_port(tevrikDefaultPort)
    , m_dbPath(QString::fromLatin1(tevrikDefaultDbPath))
{
}

ConfigSettings* ConfigSettings::getInstance()
{
    static ConfigSettings instance;
    return &instance;
}

ConfigSettings* ConfigSettings::loadConfig(QString fileName)
{
    QSettings settings(fileName, QSettings::IniFormat);
    ConfigSettings* config = getInstance();
    settings.beginGroup(QStringLiteral("General Settings"));

    config->setAddress(settings.value(QStringLiteral("address"),
                                      QHostAddress(QHostAddress::LocalHost).toString()).toString());

    const QVariant port = settings.value(QStringLiteral("port"), tevrikDefaultPort);
    config->setPort(static_cast<quint16>(port.toInt()));
    // The low 16 bits of a number outside 1..65535 may well be a usable port, so judge the text.
    quint16 parsed = 0;
    if (!parsePortNumber(port.toString(), &parsed))
        config->m_portProblem = portProblem(port.toString());

    const QVariant dbPath = settings.value(QStringLiteral("dbpath"), QString::fromLatin1(tevrikDefaultDbPath));
    config->setDBPath(dbPath.toString());
    // The INI format splits an unquoted value at its commas, and such a list reads as no text at all.
    if (dbPath.userType() == QMetaType::QStringList)
        config->m_dbPathProblem =
            QStringLiteral("Invalid dbpath \"%1\": a path with a comma must be in double quotes")
                .arg(dbPath.toStringList().join(QLatin1Char(',')));

    settings.endGroup();
    return config;
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

QStringList ConfigSettings::invalidSettings() const
{
    QStringList problems;
    if (!m_addressProblem.isEmpty())
        problems << m_addressProblem;
    if (!m_portProblem.isEmpty())
        problems << m_portProblem;
    if (!m_dbPathProblem.isEmpty())
        problems << m_dbPathProblem;
    return problems;
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
