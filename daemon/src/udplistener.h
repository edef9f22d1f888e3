#ifndef UDPLISTENER_H
#define UDPLISTENER_H

#include "logmessage.pb.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>

class ConfigSettings;

// The kernel's cumulative count of datagrams dropped on one socket, a 32-bit number that wraps. A reading older
// than the last one adds nothing.
class DropCounter
{
public:
    // Takes one reading; the drops it adds to the readings before it.
    quint32 update(quint32 reading);
    // A new socket's count starts at zero.
    void reset() { m_last = 0; }

private:
    quint32 m_last = 0;
};

// A UDP socket bound to the configured address and port that decodes each datagram as one LogEvent.
// A receive thread reads the socket into a bounded queue, so that the kernel's buffer keeps draining while the
// event loop's thread decodes and commits; decoding, and every debug line, stays on that thread.
class UDPListener : public QUdpSocket
{
    Q_OBJECT

public:
    UDPListener(const ConfigSettings& settings, QObject* parent);
    ~UDPListener() override;

    // Ends the receive thread after its last read and decodes what it queued; from then on the socket is read
    // only through readPendingDatagrams(), as at a stop.
    void stopReceiving();

signals:
    // The event belongs to the listener and lives only as long as the emission.
    void newLogEvent(LogEvent* event);

public slots:
    // Reads the waiting datagrams in batches, a bounded number per call so that the event loop
    // regains control during a flood; datagrams left waiting cause the next readyRead(). After a
    // read that emptied the socket, the next readyRead() waits a few milliseconds so that the read
    // finds many.
    void readPendingDatagrams();
    void processTheDatagram(QByteArray datagram);
    // Re-binds to the configuration's current address and port, once the old socket's datagrams are stored.
    void changeBind();
    // Reads the socket's drop counter now and reports any drops at once, as at a stop.
    void reportDropsNow();

private:
    // Binds to the configuration's address and port and enlarges the socket's receive buffer.
    bool bindToSettings();
    // Reads what is waiting now; notes whether the socket was left empty.
    void drain();
    // With the receive thread stopped, reads and decodes what the socket holds until it is empty or the deadline
    // passes; false when datagrams were still waiting at the deadline.
    bool readAllWaiting(const QDeadlineTimer& deadline);
    void parse(const char* data, int size);
    // Takes the socket's drop counter: after every read, and on a timer for drops that no read follows.
    void pollDropCounter();
    void noteDrops(quint32 reading);
    void reportDrops();
    void startReceiving();
    // Stops and joins the receive thread; false when none ran.
    bool endReceiveThread();
    // The receive thread's loop: reads batches of datagrams and appends them, each behind its length, to m_queue.
    void receive(int socket, int wake);
    // Decodes queued datagrams on the event loop's thread, a bounded amount per call unless told to finish.
    void decodeQueued(bool finish = false);

    const ConfigSettings& m_settings;
    // One slot of the largest datagram size per message of a batch, reused for every batch.
    QByteArray m_buffer;
    std::vector<mmsghdr> m_messages;
    std::vector<iovec> m_iovecs;
    LogEvent m_event;
    int m_grantedBuffer = 0;
    DropCounter m_dropCounter;
    quint64 m_unreportedDrops = 0;
    QElapsedTimer m_sinceDropReport;
    QTimer m_dropReportTimer;
    QTimer m_dropPollTimer;
    // Qt notifies of no new datagram until one is read: while this runs, the datagrams gather.
    QTimer m_gatherTimer;
    bool m_ranDry = true;

    std::thread m_receiver;
    // Written to wake the receive thread for its stop.
    int m_wakeFd = -1;
    std::atomic<bool> m_stopReceiver {false};
    std::mutex m_queueMutex;
    std::condition_variable m_queueHasRoom;
    // Filled by the receive thread; swapped with m_taken, so that both keep their capacity.
    std::string m_queue;
    // Whether a decodeQueued() call is posted or running, so the thread posts one at a time.
    bool m_decodePosted = false;
    std::string m_taken;
    size_t m_takenOffset = 0;
};

#endif
