#ifndef PGTESTSERVER_H
#define PGTESTSERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A PostgreSQL 15 server of the test's own: a cluster in a temporary directory, reached only through a Unix
// socket in that directory, run as nobody when the test runs as root.
class PgTestServer
{
public:
    PgTestServer();
    ~PgTestServer();
    PgTestServer(const PgTestServer&) = delete;
    PgTestServer& operator=(const PgTestServer&) = delete;

    // False when Debian's PostgreSQL 15 server binaries are not installed.
    static bool available();

    // initdb and the first start; false with errorString() set.
    bool init();
    bool start();
    // A fast shutdown: open connections are ended.
    bool stop();
    bool isRunning() const { return m_running; }
    QString errorString() const { return m_error; }

    // Listens on 127.0.0.1 at port as well, with TLS by the PEM certificate and key given; restarts the server.
    bool listenWithTls(quint16 port, const QByteArray& certificate, const QByteArray& key);
    quint16 port() const { return m_port; }

    // A libpq connection string for a database of this server, through its Unix socket.
    QString conninfo(const QString& database = QStringLiteral("postgres")) const;
    // Runs one statement; the first column of every row as text. errorString() tells a failure.
    QStringList query(const QString& sql, const QString& database = QStringLiteral("postgres"));
    // The first column of the first row as a number, -1 on failure.
    qint64 number(const QString& sql, const QString& database = QStringLiteral("postgres"));

private:
    bool writeOwnFile(const QString& name, const QByteArray& contents);
    bool run(const QString& program, const QStringList& arguments);

    QTemporaryDir m_dir;
    QString m_dataDir;
    QString m_error;
    bool m_running = false;
    quint16 m_port = 0;
};

#endif
