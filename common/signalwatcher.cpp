#include "signalwatcher.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the pipe of the watcher of each signal; set before its handler is installed.
volatile sig_atomic_t writeEnds[NSIG];
// Per signal, the arrivals that the event loop has not yet taken from the pipe.
std::atomic<int> undelivered[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only use lock-free atomics");

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    ++undelivered[signalNumber];
    // The pipe never fills with signal numbers in practice; a failed write could only repeat a wake-up.
    [[maybe_unused]] const ssize_t written = ::write(writeEnds[signalNumber], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(const QList<int>& signalNumbers, QObject* parent)
    : QObject(parent)
    , m_signalNumbers(signalNumbers)
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    for (const int signalNumber : m_signalNumbers) {
        if (signalNumber > 0 && signalNumber < NSIG)
            writeEnds[signalNumber] = m_pipe[1];
    }
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_watching = true;
    for (const int signalNumber : m_signalNumbers)
        m_watching = ::sigaction(signalNumber, &action, nullptr) == 0 && m_watching;
}

SignalWatcher::~SignalWatcher()
{
    for (const int signalNumber : m_signalNumbers) {
        std::signal(signalNumber, SIG_DFL);
        if (signalNumber > 0 && signalNumber < NSIG)
            writeEnds[signalNumber] = -1;
    }
    for (const int fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool SignalWatcher::isWatching() const
{
    return m_watching;
}

bool SignalWatcher::isCaught(int signalNumber) const
{
    return signalNumber > 0 && signalNumber < NSIG && undelivered[signalNumber] > 0;
}

void SignalWatcher::readPipe()
{
    unsigned char byte = 0;
    while (::read(m_pipe[0], &byte, 1) == 1) {
        --undelivered[byte];
        emit caught(byte);
    }
}
