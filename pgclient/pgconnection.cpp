#include "pgconnection.h"

#include <QDateTime>
#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <poll.h>

namespace {

// No wait on the server lasts longer than this without asking whether to stop.
constexpr int waitSliceMs = 100;
constexpr char defaultConnectTimeoutSeconds[] = "10";

QString firstLine(const char* message)
{
    return QString::fromUtf8(message).trimmed().section(QLatin1Char('\n'), 0, 0).trimmed();
}

// The server's notices ("already exists, skipping") are for the debug output only.
void debugNotice(void*, const char* message)
{
    qDebug() << QString::fromUtf8(message).trimmed();
}

bool failed(ExecStatusType status)
{
    return status == PGRES_BAD_RESPONSE || status == PGRES_NONFATAL_ERROR || status == PGRES_FATAL_ERROR;
}

// The connect timeout in milliseconds as libpq reads it; 0 for none.
qint64 connectTimeoutMs(PGconn* conn)
{
    qint64 seconds = 0;
    PQconninfoOption* options = PQconninfo(conn);
    for (PQconninfoOption* option = options; option && option->keyword; ++option) {
        if (std::strcmp(option->keyword, "connect_timeout") == 0 && option->val)
            seconds = QByteArray(option->val).trimmed().toLongLong();
    }
    PQconninfoFree(options);
    // As libpq does, a timeout of 1 s is taken as 2 s.
    return seconds <= 0 ? 0 : std::max<qint64>(seconds, 2) * 1000;
}

} // namespace

bool isValidConnInfo(const QString& conninfo)
{
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.toUtf8().constData(), &parseError);
    PQfreemem(parseError);
    const bool valid = options != nullptr;
    PQconninfoFree(options);
    return valid;
}

PgConnection::PgConnection(const QByteArray& applicationName)
    : m_applicationName(applicationName)
{
}

PgConnection::~PgConnection()
{
    close();
}

void PgConnection::close()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgConnection::isOpen() const
{
    return m_conn && PQstatus(m_conn) == CONNECTION_OK;
}

bool PgConnection::open(const QString& conninfo)
{
    close();
    m_failure = Failure::None;
    m_sqlState.clear();
    m_error.clear();
    // The string is expanded in the place of dbname: it overrides the keywords before it, not those after it.
    const QByteArray expanded = conninfo.toUtf8();
    const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", "client_encoding", nullptr};
    const char* values[] = {defaultConnectTimeoutSeconds, m_applicationName.constData(), expanded.constData(), "UTF8",
                            nullptr};
    m_conn = PQconnectStartParams(keywords, values, 1);
    if (!m_conn) {
        m_failure = Failure::Connection;
        m_error = QStringLiteral("out of memory");
        return false;
    }
    PQsetNoticeProcessor(m_conn, debugNotice, nullptr);
    // Known from the string already, so that a failure to connect names them too.
    const char* database = PQdb(m_conn);
    const char* host = PQhost(m_conn);
    m_database = QString::fromUtf8(database ? database : "");
    m_host = QString::fromUtf8(host ? host : "");
    m_description = QStringLiteral("database %1 on %2").arg(m_database, m_host);
    // libpq leaves the connect timeout to whoever polls the connection.
    const qint64 timeoutMs = connectTimeoutMs(m_conn);
    const qint64 deadline = timeoutMs > 0 ? QDateTime::currentMSecsSinceEpoch() + timeoutMs : 0;
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
        if (!waitSocket(status == PGRES_POLLING_WRITING, deadline))
            break;
        status = PQconnectPoll(m_conn);
    }
    if (m_failure != Failure::None)
        return false;
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_failure = Failure::Connection;
        m_error = firstLine(PQerrorMessage(m_conn));
        close();
        return false;
    }
    return true;
}

bool PgConnection::stopped()
{
    if (!m_stopCheck || !m_stopCheck())
        return false;
    // The server ends the statement at once instead of when its lock or its work allows.
    if (PQtransactionStatus(m_conn) == PQTRANS_ACTIVE) {
        if (PGcancel* cancel = PQgetCancel(m_conn)) {
            char message[256];
            PQcancel(cancel, message, sizeof message);
            PQfreeCancel(cancel);
        }
    }
    close();
    m_failure = Failure::Stopped;
    m_sqlState.clear();
    m_error = QStringLiteral("stopped");
    return true;
}

bool PgConnection::waitSocket(bool forWrite, qint64 deadlineMs)
{
    const int fd = PQsocket(m_conn);
    if (fd < 0)
        return fail(nullptr);
    for (;;) {
        if (stopped())
            return false;
        int sliceMs = waitSliceMs;
        if (deadlineMs > 0) {
            const qint64 remaining = deadlineMs - QDateTime::currentMSecsSinceEpoch();
            if (remaining <= 0) {
                close();
                m_failure = Failure::Connection;
                m_error = QStringLiteral("timeout expired");
                return false;
            }
            sliceMs = static_cast<int>(std::min<qint64>(remaining, sliceMs));
        }
        pollfd entry = {fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        const int ready = ::poll(&entry, 1, sliceMs);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR) {
            m_failure = Failure::Connection;
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            close();
            return false;
        }
    }
}

bool PgConnection::fail(PGresult* result)
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    m_sqlState = state ? QByteArray(state) : QByteArray();
    // The server's own words, without the severity that libpq puts before them.
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    m_error = firstLine(primary ? primary : result ? PQresultErrorMessage(result) : (m_conn ? PQerrorMessage(m_conn) : ""));
    if (m_error.isEmpty() && m_conn)
        m_error = firstLine(PQerrorMessage(m_conn));
    if (m_error.isEmpty())
        m_error = QStringLiteral("no connection to the server");
    PQclear(result);
    // A row's own data is refused with classes 22 and 23; any other class passes when the server's state does.
    const QByteArray errorClass = m_sqlState.left(2);
    if (!isOpen() || m_sqlState.isEmpty() || errorClass == "08")
        m_failure = Failure::Connection;
    else if (errorClass == "22" || errorClass == "23")
        m_failure = Failure::Data;
    else
        m_failure = Failure::Server;
    return false;
}

PgConnection::Result PgConnection::exec(const QByteArray& sql, const QVector<QByteArray>& parameters,
                                        ExecStatusType expected)
{
    m_failure = Failure::None;
    m_sqlState.clear();
    m_error.clear();
    if (!isOpen()) {
        fail(nullptr);
        return nullptr;
    }
    QVector<const char*> values;
    for (const QByteArray& parameter : parameters)
        values << parameter.constData();
    // Without parameters the text may hold several statements.
    const int sent = parameters.isEmpty() ? PQsendQuery(m_conn, sql.constData())
                                          : PQsendQueryParams(m_conn, sql.constData(), values.size(), nullptr,
                                                              values.constData(), nullptr, nullptr, 0);
    if (!sent) {
        fail(nullptr);
        return nullptr;
    }
    return collect(expected);
}

PgConnection::Result PgConnection::collect(ExecStatusType expected)
{
    Result last;
    Result failure;
    for (;;) {
        while (PQisBusy(m_conn)) {
            if (!waitSocket(false, 0))
                return nullptr;
            if (!PQconsumeInput(m_conn)) {
                fail(nullptr);
                return nullptr;
            }
        }
        PGresult* result = PQgetResult(m_conn);
        if (!result)
            break;
        const ExecStatusType status = PQresultStatus(result);
        if (failed(status) && !failure) {
            failure.reset(result);
            continue;
        }
        last.reset(result);
        // The COPY goes on with its data; its result comes after the end.
        if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH)
            break;
    }
    if (failure) {
        fail(failure.release());
        return nullptr;
    }
    if (!last || PQresultStatus(last.get()) != expected) {
        fail(last.release());
        return nullptr;
    }
    return last;
}

void PgConnection::rollback()
{
    const Failure failure = m_failure;
    const QByteArray sqlState = m_sqlState;
    const QString error = m_error;
    command("ROLLBACK");
    m_failure = failure;
    m_sqlState = sqlState;
    m_error = error;
}

bool PgConnection::putCopyData(const QByteArray& data)
{
    if (PQputCopyData(m_conn, data.constData(), data.size()) == 1)
        return true;
    return fail(nullptr);
}

bool PgConnection::endCopy()
{
    if (PQputCopyEnd(m_conn, nullptr) != 1)
        return fail(nullptr);
    return collect(PGRES_COMMAND_OK) != nullptr;
}
