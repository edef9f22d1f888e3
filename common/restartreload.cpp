#include "restartreload.h"

#include "configsections.h"
#include "programmessagehandler.h"

#include <QFile>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

RestartReload::RestartReload(const QString& configPath)
    : m_path(configPath)
    , m_contents(fileContents(configPath))
{
}

RestartReload::Outcome RestartReload::check(const std::function<QStringList(const QString& configPath)>& load)
{
    const QStringList problems = configFileReadable(m_path) ? load(m_path) : QStringList{unreadableConfigFileError(m_path)};
    if (!problems.isEmpty()) {
        writeAlways(QtWarningMsg, QStringLiteral("Cannot reload the configuration file \"%1\": %2; the running "
                                                 "settings stay")
                                      .arg(m_path, problems.join(QStringLiteral("; "))));
        return Outcome::Refused;
    }
    if (fileContents(m_path) == m_contents) {
        writeAlways(QtInfoMsg, QStringLiteral("Reloaded the configuration file \"%1\": nothing changed").arg(m_path));
        return Outcome::Unchanged;
    }
    writeAlways(QtInfoMsg,
                QStringLiteral("Reloaded the configuration file \"%1\": it changed, starting again with it").arg(m_path));
    m_restart = true;
    return Outcome::Restart;
}

int RestartReload::finish(int status, char** argv) const
{
    if (!m_restart)
        return status;
    std::fflush(nullptr);
    // The running program's own file, even when a newer version has replaced it on disk since.
    ::execv("/proc/self/exe", argv);
    writeAlways(QtCriticalMsg, QStringLiteral("Cannot start again with the reloaded configuration file: %1")
                                   .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return 1;
}
