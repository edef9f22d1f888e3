#ifndef PROCESSRUNNER_H
#define PROCESSRUNNER_H

#include <QByteArray>
#include <QProcess>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>

// What a finished program left behind.
struct RunResult
{
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end, bounded by a deadline; a program that hangs is killed.
RunResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs = 30000);

// Sends a signal to a running process; false, sending nothing, once it has ended, when its pid reads 0,
// which would signal the test's own process group.
bool signalProcess(const QProcess& process, int signalNumber);

// A port on 127.0.0.1 that was free a moment ago: the kernel picks it for a probe socket.
quint16 freeUdpPort();
quint16 freeTcpPort();

// Writes an INI configuration for the daemon; an empty value leaves its key out.
void writeConfig(const QString& path, const QString& address, const QString& port, const QString& dbPath);

// Opens a private read connection to a database file and runs one query; every row's columns.
QList<QVariantList> queryRows(const QString& dbPath, const QString& sql);

// The first column of the first row of a query, -1 when there is none.
qint64 queryNumber(const QString& dbPath, const QString& sql);

// Runs statements in order on a database file through a private read-write connection that waits up to
// 10 s for a lock; the first error, empty when all ran.
QString execStatements(const QString& dbPath, const QStringList& statements);

// Empty when the time map of the database covers every row of every event table exactly once and no row lies
// past a table's mark; else the first table where it does not, and how.
QString timeMapProblem(const QString& dbPath);

// Polls until the query returns at least minRows rows or the deadline passes.
QList<QVariantList> waitForRows(const QString& dbPath, const QString& sql, int minRows, int timeoutMs = 20000);

// Reads from a running process's standard error until a line contains text or the deadline passes.
bool waitForStderrLine(QProcess& process, QByteArray& collected, const QByteArray& text, int timeoutMs = 20000);

// Reads a running program's standard output until it holds count lines or the deadline passes.
QStringList waitForLines(QProcess& process, QByteArray& collected, int count, int timeoutMs = 30000);

// A named pipe that nobody reads: a program whose output goes there waits in a write once it is full.
class UnreadPipe
{
public:
    // Makes the pipe in dir and opens its reading end; isOpen() tells whether that worked.
    explicit UnreadPipe(const QString& dir);
    ~UnreadPipe();
    UnreadPipe(const UnreadPipe&) = delete;
    UnreadPipe& operator=(const UnreadPipe&) = delete;

    bool isOpen() const { return m_readEnd >= 0; }
    QString path() const { return m_path; }
    // Whether the pipe holds as much as it can, 64 KiB.
    bool isFull() const;

private:
    QString m_path;
    int m_readEnd = -1;
};

// Polls the condition in the event loop until it holds or the deadline passes.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 30000);

#endif
