#include "processrunner.h"

#include "eventmodel.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QTcpServer>

#include <csignal>
#include <QUdpSocket>
#include <QUuid>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

RunResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    RunResult result;
    if (!process.waitForStarted(timeoutMs))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.exitStatus = process.exitStatus();
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool signalProcess(const QProcess& process, int signalNumber)
{
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(static_cast<pid_t>(pid), signalNumber) == 0;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.serverPort();
}

void writeConfig(const QString& path, const QString& address, const QString& port, const QString& dbPath)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write("[General Settings]\n");
    if (!address.isEmpty())
        file.write("address=" + address.toUtf8() + "\n");
    if (!port.isEmpty())
        file.write("port=" + port.toUtf8() + "\n");
    if (!dbPath.isEmpty())
        file.write("dbpath=" + dbPath.toUtf8() + "\n");
}

QList<QVariantList> queryRows(const QString& dbPath, const QString& sql)
{
    QList<QVariantList> rows;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql)) {
                while (query.next()) {
                    QVariantList row;
                    for (int i = 0; i < query.record().count(); ++i)
                        row.append(query.value(i));
                    rows.append(row);
                }
            }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return rows;
}

qint64 queryNumber(const QString& dbPath, const QString& sql)
{
    const QList<QVariantList> rows = queryRows(dbPath, sql);
    return rows.isEmpty() ? -1 : rows.first().value(0).toLongLong();
}

QString execStatements(const QString& dbPath, const QStringList& statements)
{
    QString error;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open())
            error = db.lastError().text();
        QSqlQuery query(db);
        for (const QString& statement : statements) {
            if (error.isEmpty() && !query.exec(statement))
                error = query.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

QString timeMapProblem(const QString& dbPath)
{
    for (const EventKind& kind : eventKinds()) {
        const QString mapped = QStringLiteral("FROM %1 AS m JOIN \"%2\" AS t ON %3 WHERE m.tableName = '%2'")
                                   .arg(QLatin1String(timeMapTable), QLatin1String(kind.table),
                                        QLatin1String(timeMapMembership));
        const QString sql =
            QStringLiteral("SELECT (SELECT count(*) FROM \"%1\"), (SELECT count(*) %2), (SELECT count(*) FROM (SELECT "
                           "t.rowID %2 GROUP BY t.rowID HAVING count(*) > 1)), (SELECT count(*) FROM \"%1\" WHERE rowID > "
                           "(SELECT lastRowID FROM %3 WHERE tableName = '%1'))")
                .arg(QLatin1String(kind.table), mapped, QLatin1String(timeMarkTable));
        const QVariantList counts = queryRows(dbPath, sql).value(0);
        if (counts.size() != 4)
            return QStringLiteral("%1: the map cannot be read").arg(QLatin1String(kind.table));
        if (counts.at(1) != counts.at(0) || counts.at(2).toInt() != 0 || counts.at(3).toInt() != 0)
            return QStringLiteral("%1: %2 rows, %3 found through the map, %4 found twice, %5 past the mark")
                .arg(QLatin1String(kind.table), counts.at(0).toString(), counts.at(1).toString(),
                     counts.at(2).toString(), counts.at(3).toString());
    }
    return QString();
}

QList<QVariantList> waitForRows(const QString& dbPath, const QString& sql, int minRows, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QList<QVariantList> rows;
    do {
        if (QFile::exists(dbPath))
            rows = queryRows(dbPath, sql);
        if (rows.size() >= minRows)
            break;
        QTest::qWait(20);
    } while (!deadline.hasExpired());
    return rows;
}

bool waitForStderrLine(QProcess& process, QByteArray& collected, const QByteArray& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    process.setReadChannel(QProcess::StandardError);
    while (!collected.contains(text)) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(static_cast<int>(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
        collected += process.readAllStandardError();
    }
    collected += process.readAllStandardError();
    return collected.contains(text);
}

QStringList waitForLines(QProcess& process, QByteArray& collected, int count, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (collected.count('\n') < count && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        collected += process.readAllStandardOutput();
    }
    QStringList lines = QString::fromUtf8(collected).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

UnreadPipe::UnreadPipe(const QString& dir)
    : m_path(QDir(dir).filePath(QStringLiteral("unread.fifo")))
{
    const QByteArray path = m_path.toLocal8Bit();
    if (::mkfifo(path.constData(), 0600) == 0)
        m_readEnd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

UnreadPipe::~UnreadPipe()
{
    if (m_readEnd >= 0)
        ::close(m_readEnd);
    ::unlink(m_path.toLocal8Bit().constData());
}

bool UnreadPipe::isFull() const
{
    int queued = 0;
    return ::ioctl(m_readEnd, FIONREAD, &queued) == 0 && queued >= 65536;
}
