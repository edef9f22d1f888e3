#ifndef CONFIGSETTINGS_H
#define CONFIGSETTINGS_H

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

class QSettings;

// The daemon's listen address, listen port and database path: one instance per process.
class ConfigSettings : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QHostAddress address READ getAddress WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(quint16 port READ getPort WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(QString dbpath READ getDBPath WRITE setDBPath NOTIFY dbPathChanged)

public:
    // What a reload found and did.
    struct Reload
    {
        // False when the file could not be used: every running setting stays, and one warning says why.
        bool loaded = false;
        // The keys whose running values changed, in the order of the installed file.
        QStringList changed;
        // One line each: the file's warnings, a dbpath that cannot change, or why nothing changed.
        QStringList warnings;
    };

    static ConfigSettings* getInstance();
    // Reads the "General Settings" group of an INI file; absent keys take the built-in defaults.
    static ConfigSettings* loadConfig(QString fileName);
    // Reads the file again and applies only what differs from the running settings: the address and the port
    // through their setters, the limits with limitsChanged() and the directory with metricsDirChanged(). The
    // database path stays, and so do an address and a port fixed by keepOnReload().
    Reload reload(const QString& fileName);
    // The command line's address or port keep winning over the file at each reload.
    void keepOnReload(bool address, bool port);
    // What the last load found wrong with the file but read past, one warning each: unknown sections and keys,
    // lines that are not INI, a file that could not be read.
    QStringList fileWarnings() const { return m_fileWarnings; }

    QHostAddress getAddress() const;
    quint16 getPort() const;
    QString getDBPath() const;

    // The memory that rows waiting for a retry may take, in MiB.
    int getMaxHeldMiB() const;
    // Rows whose time is older than this many days are pruned; 0 keeps them all.
    int getMaxAgeDays() const;
    // The oldest rows are pruned while the data takes more MiB than this; 0 sets no bound.
    int getMaxSizeMiB() const;
    // The directory of the metrics files; empty when none is configured.
    QString getMetricsDir() const { return m_metricsDir; }
    // True when "[Master Database] conninfo" names a master: its unsent rows are then kept as long as possible.
    bool isMasterConfigured() const;

    // One line per setting that cannot be used, address first; empty when all are usable.
    QStringList invalidSettings() const;

signals:
    void addressChanged(const QHostAddress& val);
    void portChanged(quint16 val);
    void dbPathChanged(const QString& val);
    // maxheld, maxage, maxsize or whether a master is configured changed at a reload.
    void limitsChanged();
    void metricsDirChanged(const QString& directory);

public slots:
    void setAddress(const QHostAddress& val);
    // Takes a numeric IPv4 or IPv6 address only; anything else stores the null address.
    void setAddress(const QString& val);
    void setPort(quint16 val);
    void setDBPath(const QString& val);

private:
    ConfigSettings();
    // Reads every setting of the file into this object through the setters.
    void read(const QString& fileName);
    // Reads the bounds of held rows and of the database, and whether a master is configured.
    void loadLimits(QSettings& settings);
    // Why the file just read into candidate cannot replace these settings; empty when it can.
    QStringList reloadProblems(const QString& fileName, ConfigSettings& candidate) const;

    QHostAddress m_address;
    quint16 m_port;
    QString m_dbPath;
    QString m_addressProblem;
    QString m_portProblem;
    QString m_dbPathProblem;
    int m_maxHeldMiB;
    int m_maxAgeDays = 0;
    int m_maxSizeMiB = 0;
    bool m_masterConfigured = false;
    QString m_metricsDir;
    QStringList m_limitProblems;
    QStringList m_fileWarnings;
    // Whether the file existed at the last load.
    bool m_fileFound = false;
    bool m_keepAddress = false;
    bool m_keepPort = false;
};

// Lets the address property and its notification travel in QVariant, as properties and queued signals do.
Q_DECLARE_METATYPE(QHostAddress)

#endif
