#ifndef DAEMONFIXTURE_H
#define DAEMONFIXTURE_H

#include <QProcess>
#include <QTemporaryDir>

// One daemon with its configuration and database in a temporary directory, listening on a free loopback port.
class DaemonFixture
{
public:
    DaemonFixture();
    ~DaemonFixture();

    // Writes the configuration: 127.0.0.1, a port that was free a moment ago, the database in the directory.
    void configure();
    // The same with the database at dbPath, for a database outside the directory.
    void configure(const QString& dbPath);
    // Configures with metricsdir naming dir()/metrics, which is not made; the metrics file's path.
    QString configureMetrics();
    // Configures, then starts the daemon with -c, the configuration, -d -d -d and extraArgs.
    bool start(const QStringList& extraArgs = {});
    // Starts the daemon with exactly these arguments. True once it is ready: running, its socket bound on
    // port() and its last table created, which it does after binding; the same rule at every verbosity.
    bool startWith(const QStringList& args);
    // Starts the daemon through a shell command that ends by running "$0" "$@", the daemon and its arguments, as
    // startWith() does; for limits and signal dispositions set before the daemon runs.
    bool startThrough(const QString& shellCommand, const QStringList& args);
    // Ends the daemon with SIGTERM and waits for it; its remaining output is collected.
    bool stop();
    // Ends the daemon with SIGKILL.
    void kill();

    // Sends one event with the real sender; the sender's result.
    int send(const QStringList& senderArgs);

    QString dir() const { return m_dir.path(); }
    QString dbPath() const { return m_dbPath; }
    QString configPath() const { return m_configPath; }
    quint16 port() const { return m_port; }
    QProcess& process() { return m_process; }
    QByteArray& stderrText();

private:
    bool isReady();

    QTemporaryDir m_dir;
    QString m_dbPath;
    QString m_configPath;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_stderr;
};

#endif
