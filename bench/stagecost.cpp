// What the daemon's two stages cost by themselves, so that they add up to its CPU per event:
//
//   tevrikstagecost --store DB --count N [--spread-ms S]
//       stores N events of the benchmark's mix, decoded beforehand, with the daemon's own store; with
//       --spread-ms, each event's time lies 0 to S ms before the present, as several senders' clocks make it
//   tevrikstagecost --receive PORT --count N
//       receives and decodes datagrams on 127.0.0.1:PORT with the daemon's own listener, which
//       hands the events to nobody
//
// Each prints the rows or datagrams handled and its user and system time per one, in microseconds.
// The receiver stops after N datagrams or 3 s without one; its time while it waited idle is small.
#include "configsettings.h"
#include "cputime.h"
#include "databasewrapper.h"
#include "eventmix.h"
#include "daemoncounters.h"
#include "logmessage.pb.h"
#include "udplistener.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>

namespace {

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: tevrikstagecost (--store DB [--spread-ms S] | --receive PORT) --count N\n");
    std::exit(2);
}

int store(const QString& path, long long count, long long spreadMs)
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setDBPath(path);
    DataBaseWrapper store(*settings, nullptr);
    if (!store.isReady()) {
        std::fprintf(stderr, "tevrikstagecost: %s\n", qPrintable(store.errorString()));
        return 1;
    }
    const std::uint64_t now = std::uint64_t(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    // The listener's share is the decoding; the store gets the events as it hands them on.
    std::deque<LogEvent> pool(2000);
    for (unsigned i = 0; i < pool.size(); ++i) {
        const std::string datagram = encodedEvent(i, now - (spreadMs > 0 ? std::uint64_t(i * 7919ULL % spreadMs) : 0), 0);
        pool[i].ParseFromArray(datagram.data(), int(datagram.size()));
    }
    const double before = cpuSeconds();
    for (long long i = 0; i < count; ++i)
        store.newLogEvent(&pool[size_t(i) % pool.size()]);
    const int held = store.flushHeld();
    const double used = cpuSeconds() - before;
    std::printf("rows=%lld held=%d cpu_us=%.3f\n", count, held, used / double(count) * 1e6);
    return held == 0 ? 0 : 1;
}

int receive(unsigned port, long long count)
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setAddress(QHostAddress(QHostAddress::LocalHost));
    settings->setPort(quint16(port));
    UDPListener listener(*settings, nullptr);
    if (listener.state() != QAbstractSocket::BoundState) {
        std::fprintf(stderr, "tevrikstagecost: cannot bind to port %u\n", port);
        return 1;
    }
    const double before = cpuSeconds();
    QElapsedTimer quiet;
    quiet.start();
    quint64 seen = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const quint64 received = daemonCounters().datagramsReceived;
        if (received != seen) {
            seen = received;
            quiet.restart();
        }
        if (seen >= quint64(count) || quiet.hasExpired(3000))
            QCoreApplication::quit();
    });
    check.start(100);
    QCoreApplication::exec();
    const double used = cpuSeconds() - before;
    const quint64 received = daemonCounters().datagramsReceived;
    std::printf("datagrams=%llu cpu_us=%.3f\n", static_cast<unsigned long long>(received),
                received > 0 ? used / double(received) * 1e6 : 0.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::string mode, target;
    long long count = 0;
    long long spreadMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--store" || name == "--receive") {
            mode = name;
            target = argv[i + 1];
        } else if (name == "--count") {
            count = std::atoll(argv[i + 1]);
        } else if (name == "--spread-ms") {
            spreadMs = std::atoll(argv[i + 1]);
        } else {
            usage();
        }
    }
    if (mode.empty() || count <= 0 || spreadMs < 0)
        usage();
    if (mode == "--store")
        return store(QString::fromStdString(target), count, spreadMs);
    return receive(unsigned(std::atoi(target.c_str())), count);
}
