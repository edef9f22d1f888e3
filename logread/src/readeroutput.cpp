#include "readeroutput.h"

#include "programmessagehandler.h"

#include <QString>

#include <cerrno>
#include <cstring>

namespace {

// Output is written in pieces of about this size.
constexpr int outputChunkBytes = 64 * 1024;

} // namespace

bool ReaderOutput::write(QByteArray& buffer, bool force)
{
    if (m_errno != 0 || (buffer.size() < outputChunkBytes && !force))
        return m_errno == 0;
    errno = 0;
    const size_t size = static_cast<size_t>(buffer.size());
    if (std::fwrite(buffer.constData(), 1, size, m_out) != size || (force && std::fflush(m_out) != 0))
        m_errno = errno != 0 ? errno : EIO;
    buffer.clear();
    return m_errno == 0;
}

int ReaderOutput::failureStatus() const
{
    if (m_errno == EPIPE)
        return 0;
    writeError(QStringLiteral("Cannot write the output: %1").arg(QString::fromLocal8Bit(std::strerror(m_errno))));
    return 1;
}
