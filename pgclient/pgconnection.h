#ifndef PGCONNECTION_H
#define PGCONNECTION_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

#include <libpq-fe.h>

// Whether libpq can read the string as keyword=value pairs or a postgresql:// URI. libpq's own message about a
// malformed string quotes it, and it may hold a password: callers report a refusal in their own words.
bool isValidConnInfo(const QString& conninfo);

// One connection to a PostgreSQL server. Every wait on the server is sliced into pieces of at most 100 ms,
// between which a stop check is asked: a stop request cancels the query and closes the connection. The
// connection string is never shown, only the database and the host.
class PgConnection
{
public:
    // What the last failure says about the rows involved.
    enum class Failure {
        None,
        // The connection is lost, or could not be made.
        Connection,
        // SQLSTATE classes 22 (data exception) and 23 (integrity constraint): the rows themselves.
        Data,
        // Anything else of the server: its state, a permission, a missing object, a timeout.
        Server,
        // The stop check asked for an end.
        Stopped
    };

    struct ResultDeleter
    {
        void operator()(PGresult* result) const { PQclear(result); }
    };
    using Result = std::unique_ptr<PGresult, ResultDeleter>;

    // applicationName is the fallback_application_name that the server shows.
    explicit PgConnection(const QByteArray& applicationName);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Asked between the slices of every wait; true ends the wait.
    void setStopCheck(std::function<bool()> stopCheck) { m_stopCheck = std::move(stopCheck); }

    // Connects with the string (checked with isValidConnInfo beforehand), within its connect_timeout, 10 s
    // unless it says otherwise; the client encoding is always UTF8. False with the failure recorded.
    bool open(const QString& conninfo);
    void close();
    bool isOpen() const;

    // Sends a statement with text parameters (never SQL NULL) and waits for its result; the result
    // when its status is expected, else null with the failure recorded. A COPY returns at PGRES_COPY_IN.
    Result exec(const QByteArray& sql, const QVector<QByteArray>& parameters, ExecStatusType expected);
    bool command(const QByteArray& sql) { return exec(sql, {}, PGRES_COMMAND_OK) != nullptr; }
    // Sends COPY data, and at the end waits for the COPY's result.
    bool putCopyData(const QByteArray& data);
    bool endCopy();

    // Ends the open transaction after a statement failed, keeping that statement's failure.
    void rollback();

    // The connection itself, for what libpq knows of it (host, address, options); null when closed.
    PGconn* handle() const { return m_conn; }

    Failure failure() const { return m_failure; }
    QByteArray sqlState() const { return m_sqlState; }
    // The first line of the server's or libpq's message, never the connection string.
    QString errorString() const { return m_error; }
    // "database NAME on HOST", as the last open() found them.
    QString description() const { return m_description; }
    QString database() const { return m_database; }
    QString host() const { return m_host; }

private:
    // Waits until the socket is ready as the flags ask; false on a stop or the deadline (when positive).
    bool waitSocket(bool forWrite, qint64 deadlineMs);
    // Collects the results of the statement sent; the last, or the first failed one.
    Result collect(ExecStatusType expected);
    bool stopped();
    // Records the failure of a result (or of the connection when null) and frees it.
    bool fail(PGresult* result);

    QByteArray m_applicationName;
    PGconn* m_conn = nullptr;
    std::function<bool()> m_stopCheck;
    Failure m_failure = Failure::None;
    QByteArray m_sqlState;
    QString m_error;
    QString m_description;
    QString m_database;
    QString m_host;
};

#endif
