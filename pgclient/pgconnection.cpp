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

// A keyword's value as libpq took it for the connection: from the string, the environment or its defaults.
QByteArray optionValue(PGconn* conn, const char* keyword)
{
    QByteArray value;
    PQconninfoOption* options = PQconninfo(conn);
    for (PQconninfoOption* option = options; option && option->keyword; ++option) {
        if (std::strcmp(option->keyword, keyword) == 0 && option->val)
            value = option->val;
    }
    PQconninfoFree(options);
    return value;
}

// The connect timeout in milliseconds as libpq reads it; 0 for none.
qint64 connectTimeoutMs(PGconn* conn)
{
    const qint64 seconds = optionValue(conn, "connect_timeout").trimmed().toLongLong();
    // As libpq does, a timeout of 1 s is taken as 2 s.
    return seconds <= 0 ? 0 : std::max<qint64>(seconds, 2) * 1000;
}

// One host of the string's list, in the order that libpq tries them.
struct HostEntry
{
    QByteArray host;
    QByteArray hostaddr;
    QByteArray port;
};

QVector<HostEntry> hostEntries(PGconn* conn)
{
    const QList<QByteArray> hosts = optionValue(conn, "host").split(',');
    const QList<QByteArray> addresses = optionValue(conn, "hostaddr").split(',');
    const QList<QByteArray> ports = optionValue(conn, "port").split(',');
    QVector<HostEntry> entries;
    for (int i = 0; i < std::max(hosts.size(), addresses.size()); ++i)
        entries.append({hosts.value(i), addresses.value(i), ports.size() == 1 ? ports.first() : ports.value(i)});
    return entries;
}

QByteArray joined(const QVector<HostEntry>& entries, int from, QByteArray HostEntry::*field)
{
    QList<QByteArray> values;
    for (int i = from; i < entries.size(); ++i)
        values << entries.at(i).*field;
    return values.join(',');
}

// The host and address that libpq is trying, or has reached.
QByteArray target(PGconn* conn)
{
    const char* host = PQhost(conn);
    const char* port = PQport(conn);
    const char* address = PQhostaddr(conn);
    return QByteArray(host ? host : "") + '\n' + (port ? port : "") + '\n' + (address ? address : "");
}

// libpq's line for each host that it tried, without the hints below them.
QStringList hostFailures(const char* message)
{
    QStringList lines;
    for (const QString& line : QString::fromUtf8(message).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("connection to server")))
            lines << line.trimmed();
    }
    return lines;
}

void setOption(QVector<QPair<QByteArray, QByteArray>>* options, const QByteArray& keyword, const QByteArray& value)
{
    options->erase(std::remove_if(options->begin(), options->end(),
                                  [&keyword](const QPair<QByteArray, QByteArray>& option) { return option.first == keyword; }),
                   options->end());
    if (!value.isEmpty())
        options->append(qMakePair(keyword, value));
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

void PgConnection::setDefaultOption(const QByteArray& keyword, const QByteArray& value)
{
    setOption(&m_defaults, keyword, value);
}

bool PgConnection::stillOpen()
{
    if (!isOpen())
        return false;
    pollfd entry = {PQsocket(m_conn), POLLIN, 0};
    if (::poll(&entry, 1, 0) > 0 && (!PQconsumeInput(m_conn) || PQstatus(m_conn) != CONNECTION_OK)) {
        fail(nullptr);
        close();
    }
    return isOpen();
}

bool PgConnection::isStandby() const
{
    const char* standby = isOpen() ? PQparameterStatus(m_conn, "in_hot_standby") : nullptr;
    return standby && std::strcmp(standby, "on") == 0;
}

bool PgConnection::open(const QString& conninfo)
{
    close();
    m_failure = Failure::None;
    m_sqlState.clear();
    m_error.clear();
    char* parseError = nullptr;
    PQconninfoOption* parsed = PQconninfoParse(conninfo.toUtf8().constData(), &parseError);
    PQfreemem(parseError);
    if (!parsed) {
        m_failure = Failure::Connection;
        m_error = QStringLiteral("invalid connection string");
        return false;
    }
    Options options;
    for (PQconninfoOption* option = parsed; option->keyword; ++option) {
        if (option->val)
            options.append(qMakePair(QByteArray(option->keyword), QByteArray(option->val)));
    }
    PQconninfoFree(parsed);
    Options defaults = m_defaults;
    defaults << qMakePair(QByteArray("connect_timeout"), QByteArray(defaultConnectTimeoutSeconds))
             << qMakePair(QByteArray("fallback_application_name"), m_applicationName);
    for (const auto& option : qAsConst(defaults)) {
        if (std::none_of(options.cbegin(), options.cend(), [&option](const auto& set) { return set.first == option.first; }))
            options.append(option);
    }
    setOption(&options, "client_encoding", "UTF8");

    QStringList failures;
    m_description.clear();
    for (;;) {
        const Attempt result = attempt(options);
        if (result == Attempt::Connected) {
            const char* host = PQhost(m_conn);
            m_host = QString::fromUtf8(host ? host : "");
            m_description = QStringLiteral("database %1 on %2").arg(m_database, m_host);
            return true;
        }
        if (m_failure == Failure::Stopped || !m_conn)
            return false;
        QStringList tried = hostFailures(PQerrorMessage(m_conn));
        if (result == Attempt::Failed) {
            failures << (tried.isEmpty() ? QStringList{firstLine(PQerrorMessage(m_conn))} : tried);
            close();
            break;
        }
        // libpq cannot be told to leave a host that does not answer: the hosts after it are tried afresh.
        const QVector<HostEntry> hosts = hostEntries(m_conn);
        const QByteArray host = PQhost(m_conn);
        const QByteArray port = PQport(m_conn);
        int next = 1;
        while (next < hosts.size()
               && !((hosts.at(next - 1).host == host || hosts.at(next - 1).hostaddr == host) && hosts.at(next - 1).port == port))
            ++next;
        // libpq has begun the line of the host that it was trying.
        if (!tried.isEmpty() && tried.last().endsWith(QLatin1Char(':')))
            tried.last() += QLatin1String(" timeout expired");
        else
            tried << QStringLiteral("connection to server at \"%1\", port %2 failed: timeout expired")
                         .arg(QString::fromUtf8(host), QString::fromUtf8(port));
        failures << tried;
        close();
        if (next >= hosts.size())
            break;
        const QByteArray addresses = joined(hosts, next, &HostEntry::hostaddr);
        setOption(&options, "host", joined(hosts, next, &HostEntry::host));
        // An empty hostaddr of every host left is no hostaddr at all.
        setOption(&options, "hostaddr", addresses.count(',') == addresses.size() ? QByteArray() : addresses);
        setOption(&options, "port", joined(hosts, next, &HostEntry::port));
    }
    m_failure = Failure::Connection;
    m_error = failures.join(QLatin1String("; "));
    return false;
}

PgConnection::Attempt PgConnection::attempt(const Options& options)
{
    QVector<const char*> keywords;
    QVector<const char*> values;
    for (const auto& option : options) {
        keywords << option.first.constData();
        values << option.second.constData();
    }
    keywords << nullptr;
    values << nullptr;
    m_failure = Failure::None;
    m_conn = PQconnectStartParams(keywords.constData(), values.constData(), 0);
    if (!m_conn) {
        m_failure = Failure::Connection;
        return Attempt::Failed;
    }
    PQsetNoticeProcessor(m_conn, debugNotice, nullptr);
    // Known from the string already, so that a failure to connect names them too.
    if (m_description.isEmpty()) {
        const char* database = PQdb(m_conn);
        m_database = QString::fromUtf8(database ? database : "");
        QStringList names;
        for (const HostEntry& entry : hostEntries(m_conn))
            names << QString::fromUtf8(entry.host.isEmpty() ? entry.hostaddr : entry.host);
        const char* host = PQhost(m_conn);
        m_host = names.size() > 1 ? names.join(QLatin1Char(',')) : QString::fromUtf8(host ? host : "");
        m_description = QStringLiteral("database %1 on %2").arg(m_database, m_host);
    }
    // libpq leaves the connect timeout to whoever polls the connection: each host and address gets all of it.
    const qint64 timeoutMs = connectTimeoutMs(m_conn);
    const auto deadline = [timeoutMs] { return timeoutMs > 0 ? QDateTime::currentMSecsSinceEpoch() + timeoutMs : 0; };
    qint64 deadlineMs = deadline();
    QByteArray trying = target(m_conn);
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (PQstatus(m_conn) != CONNECTION_BAD && status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
        bool timedOut = false;
        if (!waitSocket(status == PGRES_POLLING_WRITING, deadlineMs, &timedOut))
            return timedOut ? Attempt::TimedOut : Attempt::Failed;
        status = PQconnectPoll(m_conn);
        if (target(m_conn) != trying) {
            trying = target(m_conn);
            deadlineMs = deadline();
        }
    }
    return PQstatus(m_conn) == CONNECTION_OK ? Attempt::Connected : Attempt::Failed;
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

bool PgConnection::waitSocket(bool forWrite, qint64 deadlineMs, bool* timedOut)
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
                m_failure = Failure::Connection;
                m_error = QStringLiteral("timeout expired");
                if (timedOut)
                    *timedOut = true;
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
