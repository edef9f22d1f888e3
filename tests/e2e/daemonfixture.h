#ifndef DAEMONFIXTURE_H
#define DAEMONFIXTURE_H

#include <QProcess>
#include <QTemporaryDir>

// One daemon started on a free loopback port with a database in a temporary directory.
class DaemonFixture
{
public:
    DaemonFixture();
    ~DaemonFixture();

    // Writes the configuration and starts the daemon with -d -d -d plus extraArgs;
    // true once the daemon has bound its socket and created its tables.
    bool start(const QStringList& extraArgs = {});
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
    QTemporaryDir m_dir;
    QString m_dbPath;
    QString m_configPath;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_stderr;
};

#endif
