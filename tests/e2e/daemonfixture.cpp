#include "daemonfixture.h"

#include "processrunner.h"

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

bool DaemonFixture::start(const QStringList& extraArgs)
{
    // A restart must wait for its own ready line, not the previous run's.
    m_stderr.clear();
    m_port = freeUdpPort();
    writeConfig(m_configPath, QStringLiteral("127.0.0.1"), QString::number(m_port), m_dbPath);
    m_process.start(QStringLiteral(TEVRIKSYSTEMLOG_PATH),
                    QStringList{QStringLiteral("-c"), m_configPath, QStringLiteral("-d"), QStringLiteral("-d"),
                                QStringLiteral("-d")} + extraArgs);
    // The last table is created after the socket is bound, so the daemon is ready then.
    return waitForStderrLine(m_process, m_stderr, "CREATE TABLE IF NOT EXISTS generic");
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
