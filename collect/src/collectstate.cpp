#include "collectstate.h"

#include <QFile>
#include <QFileInfo>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QByteArray magic = QByteArrayLiteral("tevriklogcollect state 1");

QString systemError(const QString& what, const QString& path)
{
    return QStringLiteral("%1 \"%2\": %3").arg(what, path, QString::fromLocal8Bit(std::strerror(errno)));
}

// Writes all of data to fd, resuming after a signal or a short write.
bool writeAll(int fd, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        done += n;
    }
    return true;
}

bool isBootId(const QByteArray& text)
{
    const auto isHexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return text.size() == 32 && std::all_of(text.begin(), text.end(), isHexDigit);
}

} // namespace

CollectState::CollectState(const QString& path)
    : m_path(path)
{
}

CollectState::~CollectState()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

bool CollectState::open()
{
    const QString lockPath = m_path + QStringLiteral(".lock");
    const QByteArray lockName = QFile::encodeName(lockPath);
    m_lockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (m_lockFd < 0) {
        m_error = systemError(QStringLiteral("Cannot open the lock file"), lockPath);
        return false;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK
                      ? QStringLiteral("The statefile \"%1\" is in use by another tevriklogcollect").arg(m_path)
                      : systemError(QStringLiteral("Cannot lock"), lockPath);
        return false;
    }

    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("Cannot read the statefile \"%1\": %2").arg(m_path, file.errorString());
        return false;
    }
    if (!parse(file.readAll())) {
        m_error = QStringLiteral("\"%1\" is not a statefile of tevriklogcollect; it is left as it is: name another "
                                 "statefile in [Collect] or remove it")
                      .arg(m_path);
        return false;
    }
    return true;
}

bool CollectState::parse(const QByteArray& text)
{
    QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.takeFirst() != magic)
        return false;
    for (const QByteArray& line : qAsConst(lines)) {
        const int blank = line.indexOf(' ');
        const QByteArray key = blank < 0 ? line : line.left(blank);
        const QByteArray value = blank < 0 ? QByteArray() : line.mid(blank + 1);
        if (key.isEmpty() && value.isEmpty())
            continue;
        if (key == "cursor" && !value.isEmpty())
            m_cursor = value;
        else if (key == "boot" && isBootId(value))
            m_boots.insert(value);
        else if (key == "watchdogs" && (value.isEmpty() || isBootId(value))) {
            m_watchdogsSent = true;
            m_watchdogBoot = value;
        }
        else
            return false;
    }
    return true;
}

QByteArray CollectState::serialize() const
{
    QByteArray text = magic + '\n';
    if (!m_cursor.isEmpty())
        text += "cursor " + m_cursor + '\n';
    QList<QByteArray> boots = m_boots.values();
    std::sort(boots.begin(), boots.end());
    for (const QByteArray& boot : qAsConst(boots))
        text += "boot " + boot + '\n';
    if (m_watchdogsSent)
        text += (m_watchdogBoot.isEmpty() ? QByteArray("watchdogs") : "watchdogs " + m_watchdogBoot) + '\n';
    return text;
}

void CollectState::setCursor(const QByteArray& cursor)
{
    m_dirty = m_dirty || cursor != m_cursor;
    m_cursor = cursor;
}

void CollectState::addBoot(const QByteArray& bootId)
{
    m_dirty = m_dirty || !m_boots.contains(bootId);
    m_boots.insert(bootId);
}

void CollectState::setWatchdogsSent(const QByteArray& bootId)
{
    m_dirty = m_dirty || !watchdogsSentFor(bootId);
    m_watchdogsSent = true;
    m_watchdogBoot = bootId;
}

bool CollectState::save()
{
    if (!m_dirty)
        return true;
    const QString tempPath = m_path + QStringLiteral(".tmp");
    const QByteArray tempName = QFile::encodeName(tempPath);
    const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        m_error = systemError(QStringLiteral("Cannot create"), tempPath);
        return false;
    }
    const bool written = writeAll(fd, serialize());
    if (!written)
        m_error = systemError(QStringLiteral("Cannot write"), tempPath);
    const bool synced = written && ::fsync(fd) == 0;
    if (written && !synced)
        m_error = systemError(QStringLiteral("Cannot sync"), tempPath);
    ::close(fd);
    if (!synced) {
        ::unlink(tempName.constData());
        return false;
    }
    if (::rename(tempName.constData(), QFile::encodeName(m_path).constData()) != 0) {
        m_error = systemError(QStringLiteral("Cannot rename the new state to"), m_path);
        ::unlink(tempName.constData());
        return false;
    }
    // The rename itself is durable only once the directory is.
    const QString dirPath = QFileInfo(m_path).absolutePath();
    const int dirFd = ::open(QFile::encodeName(dirPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) {
        m_error = systemError(QStringLiteral("Cannot sync the directory"), dirPath);
        if (dirFd >= 0)
            ::close(dirFd);
        return false;
    }
    ::close(dirFd);
    m_dirty = false;
    return true;
}
