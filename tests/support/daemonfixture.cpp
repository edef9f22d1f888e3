#include "daemonfixture.h"

#include "faultsupport.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QTest>

DaemonFixture::DaemonFixture()
    : m_dbPath(m_dir.filePath(QStringLiteral("systemlog.db")))
    , m_configPath(m_dir.filePath(QStringLiteral("tevriksystemlog.conf")))
{
}

DaemonFixture::~DaemonFixture()
{
    if (m_process.state() != QProcess::NotRunning)
        kill();
}

void DaemonFixture::configure(const QString& dbPath)
{
    m_dbPath = dbPath;
    configure();
}

void DaemonFixture::configure()
{
    m_port = freeUdpPort();
    writeConfig(m_configPath, QStringLiteral("127.0.0.1"), QString::number(m_port), m_dbPath);
}

QString DaemonFixture::configureMetrics()
{
    configure();
    QFile config(m_configPath);
    if (!config.open(QIODevice::Append))
        qFatal("cannot write %s", qPrintable(m_configPath));
    const QString metricsDir = dir() + QStringLiteral("/metrics");
    config.write("metricsdir=" + metricsDir.toUtf8() + "\n");
    return metricsDir + QStringLiteral("/tevriksystemlog.prom");
}

bool DaemonFixture::start(const QStringList& extraArgs)
{
    configure();
    return startWith(QStringList{QStringLiteral("-c"), m_configPath, QStringLiteral("-d"), QStringLiteral("-d"),
                                 QStringLiteral("-d")}
                     + extraArgs);
}

bool DaemonFixture::startWith(const QStringList& args)
{
    return startThrough(QString(), args);
}

bool DaemonFixture::startThrough(const QString& shellCommand, const QStringList& args)
{
    m_stderr.clear();
    if (shellCommand.isEmpty())
        m_process.start(QStringLiteral(TEVRIKSYSTEMLOG_PATH), args);
    else
        m_process.start(QStringLiteral("bash"),
                        QStringList{QStringLiteral("-c"), shellCommand, QStringLiteral(TEVRIKSYSTEMLOG_PATH)} + args);
    if (!m_process.waitForStarted())
        return false;
    // Waiting in the event loop lets the process object keep reading the daemon's output meanwhile.
    const QDeadlineTimer deadline(20000);
    while (!isReady()) {
        if (m_process.state() != QProcess::Running || deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

bool DaemonFixture::isReady()
{
    // A restarted daemon finds the tables of its previous run, so its own bound socket tells the runs apart.
    const QString lastTable = QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'generic'");
    return m_process.state() == QProcess::Running && receiveBufferDrops(m_port) >= 0
           && !queryRows(m_dbPath, lastTable).isEmpty();
}

bool DaemonFixture::stop()
{
    m_process.terminate();
    const bool finished = m_process.waitForFinished(30000);
    m_stderr += m_process.readAllStandardError();
    return finished;
}

void DaemonFixture::kill()
{
    m_process.kill();
    m_process.waitForFinished(30000);
    m_stderr += m_process.readAllStandardError();
}

int DaemonFixture::send(const QStringList& senderArgs)
{
    const RunResult result = runProgram(QStringLiteral(TEVRIKLOGEVENT_PATH),
                                        QStringList{QStringLiteral("-p"), QString::number(m_port)} + senderArgs);
    return result.exitStatus == QProcess::NormalExit ? result.exitCode : -1;
}

QByteArray& DaemonFixture::stderrText()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}
