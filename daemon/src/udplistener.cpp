#include "udplistener.h"

#include "configsettings.h"
#include "daemoncounters.h"
#include "programmessagehandler.h"

#include <QDebug>

#include <cerrno>
#include <cstring>

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Room for a burst of datagrams while the store commits; the kernel doubles the value for its
// bookkeeping.
constexpr int requestedReceiveBuffer = 96 * 1024 * 1024;

// Large enough for any UDP datagram.
constexpr int maxDatagramSize = 65536;

// The distance between two slots of a batch: one largest datagram and a few cache lines, so that the
// slots' first lines, where nearly every datagram lies whole, do not all fall into the same cache sets as
// they would 64 KiB apart, and stay cached from one batch to the next.
constexpr int slotStride = maxDatagramSize + 17 * 64;

// Datagrams fetched by one recvmmsg call: enough to spread the call's fixed cost thin, while the
// batch's buffers, one largest datagram each, stay at 4 MiB and are touched only as far as filled.
constexpr int batchSize = 64;

// What one readyRead() reads at most before the event loop gets its turn.
constexpr int maxDatagramsPerRead = 1024;
constexpr qint64 maxReadMs = 10;

// How long datagrams gather after the socket ran dry: at 100,000 events/s a read then finds
// about 2,000 instead of a few, which spreads the cost of waking both threads; well inside the
// time a row may take until it is committed.
constexpr int gatherMs = 20;

// The longest that a rebind reads the old socket's datagrams before it closes it.
constexpr qint64 rebindDrainMs = 1000;

// Drops are summed over a short while so that a burst gives one line, and reported at most this often.
constexpr int dropGatherMs = 1000;
constexpr qint64 minDropReportGapMs = 5000;
// How often the socket's own drop counter is read, for drops that no later datagram reports.
constexpr int dropPollMs = 1000;

// The receive thread hands over what it read in batches of at most about this size, so that the event loop's
// thread starts decoding a flood early.
constexpr size_t handOverBytes = 256 * 1024;
// How many datagrams are decoded between two looks at the clock, which costs more than decoding a small one.
constexpr int decodesPerClockCheck = 64;
// What the queue holds at most, about 110,000 events of the mix: beyond it the thread waits and the kernel's
// buffer fills, as it would without the thread. Both halves of the queue stay within the memory bound.
constexpr size_t maxQueuedBytes = 12 * 1024 * 1024;

// Beyond net.core.rmem_max when the process may (root or CAP_NET_ADMIN), else up to it.
void enlargeReceiveBuffer(int fd)
{
    const int size = requestedReceiveBuffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Points the first count messages of a batch at their slots, one largest datagram each.
void prepareBatch(char* buffers, mmsghdr* messages, iovec* iovecs, int count)
{
    for (int i = 0; i < count; ++i) {
        iovecs[i] = iovec {buffers + qsizetype(i) * slotStride, maxDatagramSize};
        messages[i].msg_hdr = msghdr {};
        messages[i].msg_hdr.msg_iov = &iovecs[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
}

// The socket's cumulative drop count as the kernel has it now.
bool readDropCounter(int fd, quint32* reading)
{
    quint32 meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &length) != 0 || length <= SK_MEMINFO_DROPS * sizeof(quint32))
        return false;
    *reading = meminfo[SK_MEMINFO_DROPS];
    return true;
}

int receiveBuffer(int fd)
{
    int size = 0;
    socklen_t length = sizeof size;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 ? size : 0;
}

} // namespace

UDPListener::UDPListener(const ConfigSettings& settings, QObject* parent)
    : QUdpSocket(parent)
    , m_settings(settings)
{
    const bool bound = bindToSettings();
    qDebug() << QStringLiteral("Bind to udp socket succeeded: %1")
                    .arg(bound ? QStringLiteral("true") : QStringLiteral("false"));
    if (bound)
        qDebug() << QStringLiteral("Receive buffer: %1 bytes").arg(m_grantedBuffer);

    m_dropReportTimer.setSingleShot(true);
    connect(&m_dropReportTimer, &QTimer::timeout, this, &UDPListener::reportDrops);
    m_dropPollTimer.setInterval(dropPollMs);
    connect(&m_dropPollTimer, &QTimer::timeout, this, &UDPListener::pollDropCounter);
    m_dropPollTimer.start();
    m_gatherTimer.setSingleShot(true);
    m_gatherTimer.setTimerType(Qt::PreciseTimer);
    m_gatherTimer.setInterval(gatherMs);
    connect(&m_gatherTimer, &QTimer::timeout, this, &UDPListener::drain);

    connect(&m_settings, SIGNAL(addressChanged(QHostAddress)), this, SLOT(changeBind()));
    connect(&m_settings, SIGNAL(portChanged(quint16)), this, SLOT(changeBind()));
    connect(this, SIGNAL(readyRead()), this, SLOT(readPendingDatagrams()));
    if (bound)
        startReceiving();
}

UDPListener::~UDPListener()
{
    endReceiveThread();
}

void UDPListener::startReceiving()
{
    m_wakeFd = eventfd(0, EFD_CLOEXEC);
    if (m_wakeFd < 0)
        return;
    // Reserved whole, so neither half is ever copied; pages count only once filled.
    m_queue.reserve(maxQueuedBytes + handOverBytes + size_t(batchSize) * maxDatagramSize);
    m_taken.reserve(m_queue.capacity());
    m_stopReceiver = false;
    m_receiver = std::thread(&UDPListener::receive, this, static_cast<int>(socketDescriptor()), m_wakeFd);
    // Named for top -H and the debugger; a name that does not fit changes nothing else.
    pthread_setname_np(m_receiver.native_handle(), "tevrik-receive");
}

bool UDPListener::endReceiveThread()
{
    if (!m_receiver.joinable())
        return false;
    {
        // Under the lock, so that a thread waiting for room sees the flag.
        std::lock_guard<std::mutex> lock(m_queueMutex);
        m_stopReceiver = true;
    }
    m_queueHasRoom.notify_one();
    const quint64 wake = 1;
    if (::write(m_wakeFd, &wake, sizeof wake) != sizeof wake)
        qWarning() << QStringLiteral("Cannot wake the receive thread: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    m_receiver.join();
    ::close(m_wakeFd);
    m_wakeFd = -1;
    return true;
}

void UDPListener::stopReceiving()
{
    if (endReceiveThread())
        decodeQueued(true);
}

bool UDPListener::readAllWaiting(const QDeadlineTimer& deadline)
{
    while (state() == QAbstractSocket::BoundState && hasPendingDatagrams()) {
        if (deadline.hasExpired())
            return false;
        drain();
    }
    return true;
}

void UDPListener::receive(int socket, int wake)
{
    std::vector<char> buffer(size_t(batchSize) * slotStride);
    std::vector<mmsghdr> messages(batchSize);
    std::vector<iovec> iovecs(batchSize);
    std::string batch;
    bool ranDry = false;
    while (!m_stopReceiver) {
        pollfd waiting[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
        if (poll(waiting, 2, -1) <= 0 || waiting[1].revents != 0)
            continue;
        // After the socket ran dry, datagrams gather for a while, so that one wakeup reads many.
        if (ranDry && poll(&waiting[1], 1, gatherMs) != 0)
            continue;
        ranDry = false;
        batch.clear();
        while (!ranDry && batch.size() < handOverBytes) {
            prepareBatch(buffer.data(), messages.data(), iovecs.data(), batchSize);
            const int count = recvmmsg(socket, messages.data(), batchSize, MSG_DONTWAIT, nullptr);
            ranDry = count < batchSize;
            for (int i = 0; i < count; ++i) {
                const quint32 length = messages[size_t(i)].msg_len;
                batch.append(reinterpret_cast<const char*>(&length), sizeof length);
                batch.append(buffer.data() + size_t(i) * slotStride, length);
            }
        }
        if (batch.empty())
            continue;
        std::unique_lock<std::mutex> lock(m_queueMutex);
        // At a stop the batch is queued regardless: the event loop's thread decodes it before reading on.
        m_queueHasRoom.wait(lock, [this] { return m_queue.size() < maxQueuedBytes || m_stopReceiver; });
        m_queue.append(batch);
        // One wakeup of the event loop's thread per hand-over at most.
        if (!m_decodePosted) {
            m_decodePosted = true;
            QMetaObject::invokeMethod(this, [this] { decodeQueued(); }, Qt::QueuedConnection);
        }
    }
}

void UDPListener::decodeQueued(bool finish)
{
    // Once per hand-over, as after each read of the socket by this thread.
    pollDropCounter();
    // The debug lines are written here, not where the thread reads, so they come in order with the store's.
    const bool debug = debugLevel >= 3;
    QElapsedTimer elapsed;
    elapsed.start();
    for (int decoded = 0;; ++decoded) {
        if (m_takenOffset == m_taken.size()) {
            m_taken.clear();
            m_takenOffset = 0;
            std::lock_guard<std::mutex> lock(m_queueMutex);
            if (m_queue.empty()) {
                m_decodePosted = false;
                return;
            }
            m_taken.swap(m_queue);
            m_queueHasRoom.notify_one();
        }
        // Like a read of the socket, one call yields to the event loop after a while, so that the store's timers run.
        if (!finish && decoded % decodesPerClockCheck == 0 && decoded > 0
            && (decoded >= maxDatagramsPerRead || elapsed.hasExpired(maxReadMs))) {
            QMetaObject::invokeMethod(this, [this] { decodeQueued(); }, Qt::QueuedConnection);
            return;
        }
        if (debug) {
            if (decoded == 0)
                qDebug() << QStringLiteral("New datagrams pending.");
            qDebug() << QStringLiteral("Read new datagram.");
        }
        quint32 length = 0;
        std::memcpy(&length, m_taken.data() + m_takenOffset, sizeof length);
        m_takenOffset += sizeof length;
        ++daemonCounters().datagramsReceived;
        parse(m_taken.data() + m_takenOffset, int(length));
        m_takenOffset += length;
    }
}

bool UDPListener::bindToSettings()
{
    const bool bound = bind(m_settings.getAddress(), m_settings.getPort(), QAbstractSocket::DefaultForPlatform);
    m_dropCounter.reset();
    if (!bound)
        return false;
    const int fd = static_cast<int>(socketDescriptor());
    enlargeReceiveBuffer(fd);
    // Qt asks for each datagram's destination address and hop limit, which the listener never
    // looks at; the kernel would build them for every datagram.
    const int off = 0;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &off, sizeof off);
    setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &off, sizeof off);
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &off, sizeof off);
    setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &off, sizeof off);
    m_grantedBuffer = receiveBuffer(fd);
    // The kernel reports twice the size that was set.
    const qint64 asked = 2 * qint64(requestedReceiveBuffer);
    if (m_grantedBuffer < asked) {
        writeAlways(QtWarningMsg, QStringLiteral("Receive buffer: the kernel granted %1 bytes, less than the %2 asked "
                                                 "for; bursts beyond it are dropped. Raise net.core.rmem_max to %3 "
                                                 "or more.")
                                      .arg(m_grantedBuffer)
                                      .arg(asked)
                                      .arg(requestedReceiveBuffer));
    }
    return true;
}

void UDPListener::readPendingDatagrams()
{
    // The receive thread reads the socket while it runs.
    if (m_receiver.joinable())
        return;
    // Debug lines are built only when they are shown: during a flood, formatting them would cost
    // more than decoding the datagrams.
    const bool debug = debugLevel >= 3;
    if (debug)
        qDebug() << QStringLiteral("New datagrams pending.");
    // Only a notification waits for more to gather; a direct call, as at a stop, reads at once.
    if (sender() == this && (m_ranDry || m_gatherTimer.isActive())) {
        if (!m_gatherTimer.isActive())
            m_gatherTimer.start();
        return;
    }
    m_gatherTimer.stop();
    drain();
}

void UDPListener::drain()
{
    const bool debug = debugLevel >= 3;
    if (m_buffer.size() != batchSize * slotStride) {
        m_buffer.resize(batchSize * slotStride);
        m_messages.resize(batchSize);
        m_iovecs.resize(batchSize);
    }
    const int fd = static_cast<int>(socketDescriptor());
    char* const buffers = m_buffer.data();

    // The first datagram goes through the socket itself: reading it is what makes Qt notify about
    // the next ones.
    {
        if (debug)
            qDebug() << QStringLiteral("Read new datagram.");
        const qint64 received = readDatagram(buffers, maxDatagramSize);
        if (received >= 0) {
            ++daemonCounters().datagramsReceived;
            parse(buffers, static_cast<int>(received));
        } else if (debug) {
            qDebug() << QStringLiteral("Reading datagram failed!");
        }
    }

    QElapsedTimer elapsed;
    elapsed.start();
    int read = 1;
    m_ranDry = false;
    while (read < maxDatagramsPerRead && !elapsed.hasExpired(maxReadMs)) {
        const int wanted = qMin(batchSize, maxDatagramsPerRead - read);
        prepareBatch(buffers, m_messages.data(), m_iovecs.data(), wanted);
        const int count = recvmmsg(fd, m_messages.data(), unsigned(wanted), MSG_DONTWAIT, nullptr);
        if (count <= 0) {
            m_ranDry = true;
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && debug)
                qDebug() << QStringLiteral("Reading datagram failed!");
            break;
        }
        daemonCounters().datagramsReceived += quint64(count);
        for (int i = 0; i < count; ++i) {
            if (debug)
                qDebug() << QStringLiteral("Read new datagram.");
            parse(buffers + qsizetype(i) * slotStride, int(m_messages[size_t(i)].msg_len));
        }
        read += count;
        if (count < wanted) {
            m_ranDry = true;
            break;
        }
    }
    pollDropCounter();
}

void UDPListener::processTheDatagram(QByteArray datagram)
{
    parse(datagram.constData(), datagram.size());
}

void UDPListener::parse(const char* data, int size)
{
    if (m_event.ParseFromArray(data, size)) {
        emit newLogEvent(&m_event);
        return;
    }
    ++daemonCounters().undecodable;
    if (debugLevel >= 3)
        qDebug() << QStringLiteral("Parsing datagram failed!");
}

void UDPListener::pollDropCounter()
{
    quint32 reading = 0;
    if (state() == QAbstractSocket::BoundState && readDropCounter(static_cast<int>(socketDescriptor()), &reading))
        noteDrops(reading);
}

void UDPListener::noteDrops(quint32 reading)
{
    const quint32 dropped = m_dropCounter.update(reading);
    if (dropped == 0)
        return;
    daemonCounters().kernelDrops += dropped;
    m_unreportedDrops += dropped;
    if (!m_dropReportTimer.isActive()) {
        qint64 wait = dropGatherMs;
        if (m_sinceDropReport.isValid() && !m_sinceDropReport.hasExpired(minDropReportGapMs))
            wait = qMax<qint64>(wait, minDropReportGapMs - m_sinceDropReport.elapsed());
        m_dropReportTimer.start(int(wait));
    }
}

void UDPListener::reportDropsNow()
{
    pollDropCounter();
    m_dropReportTimer.stop();
    reportDrops();
}

void UDPListener::reportDrops()
{
    if (m_unreportedDrops == 0)
        return;
    writeAlways(QtWarningMsg, QStringLiteral("The kernel dropped %1 datagrams since the last report: the receive "
                                             "buffer of %2 bytes was full.")
                                  .arg(m_unreportedDrops)
                                  .arg(m_grantedBuffer));
    m_unreportedDrops = 0;
    m_sinceDropReport.start();
}

void UDPListener::changeBind()
{
    stopReceiving();
    // What the old socket holds would go with it.
    if (!readAllWaiting(QDeadlineTimer(rebindDrainMs)))
        qWarning() << QStringLiteral("Binding anew while senders keep sending: the datagrams still arriving at the "
                                     "old address and port were not stored.");
    // The old socket's count goes with it: what it dropped since the last reading is taken first.
    pollDropCounter();
    close();
    if (bindToSettings())
        startReceiving();
}

quint32 DropCounter::update(quint32 reading)
{
    // Differences wrap with the counter; one of more than 2^31 is a reading older than the last one.
    const quint32 added = reading - m_last;
    if (added > 0x7fffffffu)
        return 0;
    m_last = reading;
    return added;
}
