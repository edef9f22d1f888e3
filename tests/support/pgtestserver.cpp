#include "pgtestserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <libpq-fe.h>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

const char binDir[] = "/usr/lib/postgresql/15/bin/";

QString pgProgram(const char* name)
{
    return QString::fromLatin1(binDir) + QString::fromLatin1(name);
}

} // namespace

PgTestServer::PgTestServer()
    : m_dataDir(m_dir.filePath(QStringLiteral("data")))
{
}

PgTestServer::~PgTestServer()
{
    if (m_running)
        stop();
}

bool PgTestServer::available()
{
    return QFileInfo(pgProgram("initdb")).isExecutable() && QFileInfo(pgProgram("pg_ctl")).isExecutable();
}

bool PgTestServer::run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    // The server refuses to run as root.
    if (::geteuid() == 0)
        process.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                  QStringLiteral("--clear-groups"), program}
                          + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_error = QStringLiteral("%1 failed: %2%3")
                      .arg(program, QString::fromLocal8Bit(process.readAllStandardError()),
                           QString::fromLocal8Bit(process.readAllStandardOutput()));
        process.kill();
        process.waitForFinished();
        return false;
    }
    return true;
}

bool PgTestServer::prepareDir()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return false;
    }
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody || ::chown(QFile::encodeName(m_dir.path()).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
            m_error = QStringLiteral("cannot hand %1 to nobody").arg(m_dir.path());
            return false;
        }
    }
    return true;
}

bool PgTestServer::appendConfig(const QByteArray& lines)
{
    QFile config(QDir(m_dataDir).filePath(QStringLiteral("postgresql.conf")));
    if (!config.open(QIODevice::Append) || config.write(lines) != lines.size()) {
        m_error = config.errorString();
        return false;
    }
    return true;
}

bool PgTestServer::init()
{
    return prepareDir()
           && run(pgProgram("initdb"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-A"), QStringLiteral("trust"),
                                        QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-sync"),
                                        QStringLiteral("-U"), QStringLiteral("postgres")})
           && appendConfig("listen_addresses = ''\nunix_socket_directories = '" + QFile::encodeName(m_dir.path())
                           + "'\nfsync = off\nsynchronous_commit = off\nfull_page_writes = off\n")
           && start();
}

bool PgTestServer::initStandbyOf(const PgTestServer& primary)
{
    // The primary's settings come along: the standby listens on a socket of its own, and on no TCP port.
    return prepareDir()
           && run(pgProgram("pg_basebackup"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-R"),
                                                QStringLiteral("-X"), QStringLiteral("stream"), QStringLiteral("-h"),
                                                primary.socketDir(), QStringLiteral("-p"),
                                                QString::number(primary.m_port ? primary.m_port : 5432),
                                                QStringLiteral("-U"), QStringLiteral("postgres")})
           && appendConfig("listen_addresses = ''\nport = 5432\nunix_socket_directories = '"
                           + QFile::encodeName(m_dir.path()) + "'\n")
           && start();
}

bool PgTestServer::cutOffFromPrimary()
{
    query(QStringLiteral("ALTER SYSTEM SET primary_conninfo = ''"));
    query(QStringLiteral("SELECT pg_reload_conf()"));
    if (!m_error.isEmpty())
        return false;
    QDeadlineTimer deadline(30000);
    while (number(QStringLiteral("SELECT count(*) FROM pg_stat_wal_receiver")) != 0) {
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("the standby still receives WAL");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool PgTestServer::promote()
{
    return run(pgProgram("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-w"), QStringLiteral("promote")});
}

bool PgTestServer::kill()
{
    QFile pidFile(QDir(m_dataDir).filePath(QStringLiteral("postmaster.pid")));
    const qint64 pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.readLine().trimmed().toLongLong() : 0;
    if (pid <= 0 || ::kill(pid_t(pid), SIGKILL) != 0) {
        m_error = QStringLiteral("cannot kill the postmaster of %1").arg(m_dataDir);
        return false;
    }
    m_running = false;
    return true;
}

bool PgTestServer::keepCopy()
{
    return stop() && run(QStringLiteral("cp"), {QStringLiteral("-a"), m_dataDir, m_dir.filePath(QStringLiteral("copy"))})
           && start();
}

bool PgTestServer::restoreCopy()
{
    m_running = !run(pgProgram("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-m"),
                                          QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")});
    return !m_running && QDir(m_dataDir).removeRecursively()
           && run(QStringLiteral("cp"), {QStringLiteral("-a"), m_dir.filePath(QStringLiteral("copy")), m_dataDir})
           && start();
}

bool PgTestServer::start()
{
    m_running = run(pgProgram("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-l"),
                                          m_dir.filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
                                          QStringLiteral("start")});
    return m_running;
}

bool PgTestServer::stop()
{
    const bool stopped = run(pgProgram("pg_ctl"), {QStringLiteral("-D"), m_dataDir, QStringLiteral("-m"),
                                                   QStringLiteral("fast"), QStringLiteral("-w"), QStringLiteral("stop")});
    m_running = !stopped;
    return stopped;
}

bool PgTestServer::writeOwnFile(const QString& name, const QByteArray& contents)
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size()
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    file.close();
    const passwd* nobody = ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
    if (nobody && ::chown(QFile::encodeName(file.fileName()).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
        m_error = QStringLiteral("cannot hand %1 to nobody").arg(file.fileName());
        return false;
    }
    return true;
}

bool PgTestServer::listenWithTls(quint16 port, const QByteArray& certificate, const QByteArray& key)
{
    if (!writeOwnFile(QStringLiteral("server.crt"), certificate) || !writeOwnFile(QStringLiteral("server.key"), key))
        return false;
    if (!appendConfig("listen_addresses = '127.0.0.1'\nport = " + QByteArray::number(port)
                      + "\nssl = on\nssl_cert_file = '" + QFile::encodeName(m_dir.filePath(QStringLiteral("server.crt")))
                      + "'\nssl_key_file = '" + QFile::encodeName(m_dir.filePath(QStringLiteral("server.key"))) + "'\n"))
        return false;
    m_port = port;
    return (!m_running || stop()) && start();
}

QString PgTestServer::conninfo(const QString& database) const
{
    return QStringLiteral("host=%1 dbname=%2 user=postgres").arg(m_dir.path(), database)
           + (m_port ? QStringLiteral(" port=%1").arg(m_port) : QString());
}

QStringList PgTestServer::query(const QString& sql, const QString& database)
{
    QStringList values;
    m_error.clear();
    // Answers in UTF-8 whatever the database's encoding.
    PGconn* conn = PQconnectdb((conninfo(database) + QStringLiteral(" client_encoding=UTF8")).toUtf8().constData());
    if (PQstatus(conn) != CONNECTION_OK) {
        m_error = QString::fromUtf8(PQerrorMessage(conn));
        PQfinish(conn);
        return values;
    }
    PGresult* result = PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row)
            values << QString::fromUtf8(PQgetvalue(result, row, 0));
    } else if (status != PGRES_COMMAND_OK) {
        m_error = QString::fromUtf8(PQresultErrorMessage(result));
    }
    PQclear(result);
    PQfinish(conn);
    return values;
}

qint64 PgTestServer::number(const QString& sql, const QString& database)
{
    const QStringList values = query(sql, database);
    bool ok = false;
    const qint64 value = values.isEmpty() ? -1 : values.first().toLongLong(&ok);
    return ok ? value : -1;
}
