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
    // SIGKILL to the server's postmaster, as a crash; its processes end on their own.
    bool kill();

    // Makes this server a streaming standby of the running primary (pg_basebackup -R) and starts it.
    bool initStandbyOf(const PgTestServer& primary);
    // Ends the standby's streaming: it keeps what it has replayed and receives nothing more.
    bool cutOffFromPrimary();
    // Ends the standby's recovery: it goes on as a primary, on the next timeline.
    bool promote();

    // Keeps a copy of the data directory, stopping the server for it and starting it again.
    bool keepCopy();
    // Stops the server at once and starts it from the copy that keepCopy() made.
    bool restoreCopy();
    bool isRunning() const { return m_running; }
    QString errorString() const { return m_error; }

    // Listens on 127.0.0.1 at port as well, with TLS by the PEM certificate and key given; restarts the server.
    bool listenWithTls(quint16 port, const QByteArray& certificate, const QByteArray& key);
    quint16 port() const { return m_port; }

    // The directory of the server's Unix socket, the host of its connection strings.
    QString socketDir() const { return m_dir.path(); }
    // A libpq connection string for a database of this server, through its Unix socket.
    QString conninfo(const QString& database = QStringLiteral("postgres")) const;
    // Runs one statement; the first column of every row as text. errorString() tells a failure.
    QStringList query(const QString& sql, const QString& database = QStringLiteral("postgres"));
    // The first column of the first row as a number, -1 on failure.
    qint64 number(const QString& sql, const QString& database = QStringLiteral("postgres"));

private:
    bool writeOwnFile(const QString& name, const QByteArray& contents);
    bool appendConfig(const QByteArray& lines);
    bool prepareDir();
    bool run(const QString& program, const QStringList& arguments);

    QTemporaryDir m_dir;
    QString m_dataDir;
    QString m_error;
    bool m_running = false;
    quint16 m_port = 0;
};

#endif
