#ifndef PGCONNECTION_H
#define PGCONNECTION_H

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
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
    // A keyword's value for every string that does not set it.
    void setDefaultOption(const QByteArray& keyword, const QByteArray& value);

    // Connects with the string (checked with isValidConnInfo beforehand), trying its hosts in turn as libpq
    // does, each within the string's connect_timeout, 10 s unless it says otherwise: a host that does not
    // answer in time is left for the next one. The client encoding is always UTF8. False with the failure
    // recorded.
    bool open(const QString& conninfo);
    void close();
    bool isOpen() const;
    // Reads what the server sent unasked, so that a connection that the server closed is closed here too.
    bool stillOpen();
    // Whether the server reached is a standby in recovery, as it told at the connection's start.
    bool isStandby() const;

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
    // The first line of the server's or libpq's message, never the connection string; after a failed open, the
    // line of each host tried, joined by "; ".
    QString errorString() const { return m_error; }
    // "database NAME on HOST", as the last open() found them: the host reached, or every host of the string.
    QString description() const { return m_description; }
    QString database() const { return m_database; }
    QString host() const { return m_host; }

private:
    using Options = QVector<QPair<QByteArray, QByteArray>>;
    // Starts a connection with the options and polls it until it is made, fails or its host's time is up.
    enum class Attempt { Connected, Failed, TimedOut };
    Attempt attempt(const Options& options);
    // Waits until the socket is ready as the flags ask; false on a stop, a failure or the deadline (when
    // positive), which *timedOut then tells and which leaves the connection open.
    bool waitSocket(bool forWrite, qint64 deadlineMs, bool* timedOut = nullptr);
    // Collects the results of the statement sent; the last, or the first failed one.
    Result collect(ExecStatusType expected);
    bool stopped();
    // Records the failure of a result (or of the connection when null) and frees it.
    bool fail(PGresult* result);

    QByteArray m_applicationName;
    Options m_defaults;
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
