// Sends a bounded number of events to a daemon on a loopback address, as fast as it can or
// paced to a given rate, and prints how many it sent and how fast.
//
// usage: tevrikloadgen --port PORT --count N [--rate EVENTS_PER_SECOND] [--address 127.0.0.1|::1]
//        tevrikloadgen --free-port   (prints a UDP port of 127.0.0.1 that was free a moment ago)
#include "logmessage.pb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    std::string address = "127.0.0.1";
    unsigned port = 0;
    long long count = 0;
    long long rate = 0;
};

[[noreturn]] void usage(const char* problem)
{
    std::fprintf(stderr, "tevrikloadgen: %s\nusage: tevrikloadgen --port PORT --count N [--rate EVENTS_PER_SECOND] "
                         "[--address 127.0.0.1|::1]\n       tevrikloadgen --free-port\n",
                 problem);
    std::exit(2);
}

long long number(const char* text, long long max)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > max)
        usage("a number is out of range");
    return value;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc)
            usage("an option lacks its value");
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--address")
            options.address = value;
        else if (name == "--port")
            options.port = static_cast<unsigned>(number(value, 65535));
        else if (name == "--count")
            options.count = number(value, 1000000000);
        else if (name == "--rate")
            options.rate = number(value, 100000000);
        else
            usage("unknown option");
    }
    if (options.port == 0 || options.count == 0)
        usage("--port and --count are required");
    return options;
}

std::string text(const char* prefix, unsigned i)
{
    return prefix + std::to_string(i);
}

// One event of a mix like a busy machine's: mostly load reports and generic records, some task
// events, and now and then a reboot, a watchdog or a configuration snapshot with long texts.
LogEvent makeEvent(unsigned i, std::uint64_t now)
{
    LogEvent event;
    switch (i % 20) {
    case 0:
        event.mutable_reboot()->set_issuer(text("operator-", i % 7));
        event.mutable_reboot()->set_timestamp(now);
        break;
    case 1:
        event.mutable_watchdog()->set_triggeredby(text("heartbeat-timeout-", i % 5));
        event.mutable_watchdog()->set_timestamp(now);
        break;
    case 2: {
        MachineConfig* machine = event.mutable_machine();
        machine->set_hardwareconf("2x AMD EPYC, 24 GiB RAM, virtio-blk 100 GiB, virtio-net");
        machine->set_linuxver("Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 x86_64");
        std::string rpms;
        for (unsigned p = 0; p < 40; ++p)
            rpms += text("package-", p) + "-1.2." + std::to_string(i % 9) + ".x86_64 ";
        machine->set_rpmsinstalled(rpms);
        machine->set_tevrikversion("2.4.1");
        machine->set_diskspace("/ 41G used 55G free; /var 3.2G used 12G free");
        machine->set_timestamp(now);
        break;
    }
    case 3:
    case 4:
        event.mutable_dump()->set_taskname(text("task-", i % 97));
        event.mutable_dump()->set_timestamp(now);
        break;
    case 5:
    case 6:
    case 7:
        event.mutable_joinlayer()->set_taskname(text("task-", i % 97));
        event.mutable_joinlayer()->set_timestamp(now);
        break;
    case 8:
    case 9:
    case 10:
        event.mutable_specfile()->set_taskname(text("task-", i % 97));
        event.mutable_specfile()->set_specfile(text("/opt/tevrik/specs/build-", i % 31) + ".spec");
        event.mutable_specfile()->set_timestamp(now);
        break;
    case 11:
    case 12:
    case 13:
    case 14:
        event.mutable_systemload()->set_sysload("load " + std::to_string(i % 400 / 100.0) + " 0.87 0.66, 3/412");
        event.mutable_systemload()->set_timestamp(now);
        break;
    default:
        event.mutable_generic()->set_recordnumber(i);
        event.mutable_generic()->set_key(text("counter-", i % 13));
        event.mutable_generic()->set_value(std::to_string(i * 7919ULL % 100000));
        event.mutable_generic()->set_timestamp(now);
        break;
    }
    return event;
}

struct Target
{
    sockaddr_storage address{};
    socklen_t length = 0;
};

Target loopbackTarget(const Options& options)
{
    Target target;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&target.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&target.address);
    if (inet_pton(AF_INET, options.address.c_str(), &v4->sin_addr) == 1) {
        if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127)
            usage("only loopback addresses are allowed");
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(options.port));
        target.length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, options.address.c_str(), &v6->sin6_addr) == 1) {
        if (!IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr))
            usage("only loopback addresses are allowed");
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(options.port));
        target.length = sizeof(sockaddr_in6);
    } else {
        usage("the address is not a numeric address");
    }
    return target;
}

int printFreePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("free port");
        return 1;
    }
    std::printf("%u\n", unsigned(ntohs(address.sin_port)));
    close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0)
        return printFreePort();
    const Options options = parse(argc, argv);
    Target target = loopbackTarget(options);

    // The events are encoded beforehand, so that the sending loop measures the daemon, not us.
    constexpr unsigned poolSize = 2000;
    const std::uint64_t now = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    std::vector<std::string> pool;
    pool.reserve(poolSize);
    for (unsigned i = 0; i < poolSize; ++i)
        pool.push_back(makeEvent(i, now).SerializeAsString());

    const int fd = socket(target.address.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }

    constexpr unsigned batchSize = 64;
    std::vector<mmsghdr> messages(batchSize);
    std::vector<iovec> vectors(batchSize);

    long long sent = 0;
    long long failed = 0;
    const Clock::time_point start = Clock::now();
    while (sent + failed < options.count) {
        long long due = options.count;
        if (options.rate > 0) {
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            due = std::min(options.count, static_cast<long long>(seconds * static_cast<double>(options.rate)) + 1);
            if (due <= sent + failed) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
        }
        const unsigned batch = static_cast<unsigned>(std::min<long long>(batchSize, due - sent - failed));
        for (unsigned i = 0; i < batch; ++i) {
            const std::string& datagram = pool[static_cast<size_t>((sent + failed + i) % poolSize)];
            vectors[i].iov_base = const_cast<char*>(datagram.data());
            vectors[i].iov_len = datagram.size();
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = &target.address;
            messages[i].msg_hdr.msg_namelen = target.length;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int result = sendmmsg(fd, messages.data(), batch, 0);
        if (result > 0) {
            sent += result;
        } else if (errno == EINTR) {
            continue;
        } else {
            // Not sent: counted apart, so that a refused datagram is not taken for a lost one.
            ++failed;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);

    std::printf("sent=%lld failed=%lld seconds=%.3f rate=%.0f\n", sent, failed, seconds,
                seconds > 0 ? static_cast<double>(sent) / seconds : 0.0);
    return failed == 0 ? 0 : 1;
}
