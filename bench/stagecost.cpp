// What the daemon's two stages cost by themselves, to compare its CPU per event with:
//
//   tevrikstagecost --store DB --count N
//       decodes N events of the benchmark's mix and stores them with the daemon's own store, no network
//   tevrikstagecost --receive PORT --count N
//       receives datagrams on 127.0.0.1:PORT the way the daemon does (5 ms of gathering, recvmmsg of 64)
//       and discards them
//
// Each prints the rows or datagrams handled and its user and system time per one, in microseconds.
// The receiver stops after N datagrams or 3 s without one.
#include "configsettings.h"
#include "cputime.h"
#include "databasewrapper.h"
#include "eventmix.h"
#include "logmessage.pb.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: tevrikstagecost (--store DB | --receive PORT) --count N\n");
    std::exit(2);
}

int store(const QString& path, long long count)
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
    std::vector<std::string> pool;
    for (unsigned i = 0; i < 2000; ++i)
        pool.push_back(encodedEvent(i, now, 0));
    LogEvent event;
    const double before = cpuSeconds();
    for (long long i = 0; i < count; ++i) {
        const std::string& datagram = pool[size_t(i) % pool.size()];
        if (event.ParseFromArray(datagram.data(), int(datagram.size())))
            store.newLogEvent(&event);
    }
    const int held = store.flushHeld();
    const double used = cpuSeconds() - before;
    std::printf("rows=%lld held=%d cpu_us=%.3f\n", count, held, used / double(count) * 1e6);
    return held == 0 ? 0 : 1;
}

int receive(unsigned port, long long count)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("tevrikstagecost: socket");
        return 1;
    }
    const int size = 96 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("tevrikstagecost: bind");
        return 1;
    }
    constexpr int batch = 64;
    constexpr size_t slot = 65536;
    std::vector<char> buffer(batch * slot);
    std::vector<mmsghdr> messages(batch);
    std::vector<iovec> vectors(batch);
    long long received = 0;
    double before = -1;
    while (received < count) {
        pollfd ready {fd, POLLIN, 0};
        if (poll(&ready, 1, 3000) <= 0)
            break;
        if (before < 0)
            before = cpuSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (;;) {
            for (int i = 0; i < batch; ++i) {
                vectors[size_t(i)] = {buffer.data() + size_t(i) * slot, slot};
                messages[size_t(i)] = mmsghdr {};
                messages[size_t(i)].msg_hdr.msg_iov = &vectors[size_t(i)];
                messages[size_t(i)].msg_hdr.msg_iovlen = 1;
            }
            const int got = recvmmsg(fd, messages.data(), batch, MSG_DONTWAIT, nullptr);
            if (got <= 0)
                break;
            received += got;
            if (got < batch)
                break;
        }
    }
    const double used = before < 0 ? 0 : cpuSeconds() - before;
    close(fd);
    std::printf("datagrams=%lld cpu_us=%.3f\n", received, received > 0 ? used / double(received) * 1e6 : 0.0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::string mode, target;
    long long count = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--store" || name == "--receive") {
            mode = name;
            target = argv[i + 1];
        } else if (name == "--count") {
            count = std::atoll(argv[i + 1]);
        } else {
            usage();
        }
    }
    if (mode.empty() || count <= 0)
        usage();
    if (mode == "--store")
        return store(QString::fromStdString(target), count);
    return receive(unsigned(std::atoi(target.c_str())), count);
}
