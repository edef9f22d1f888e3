// Sends a bounded number of events to a server on a loopback address, as fast as it can or
// paced to a given rate, from one or more processes, and prints how many it sent and how fast.
//
// usage: tevrikloadgen --port PORT --count N [--rate EVENTS_PER_SECOND] [--address 127.0.0.1|::1]
//                      [--batch DATAGRAMS_PER_CALL] [--processes N] [--size BYTES] [--seconds MAX]
//                      [--probe-ms MS] [--spread-ms MS]
//        tevrikloadgen --sink --count N [...]   (sends to a socket of its own that nobody reads)
//        tevrikloadgen --free-port              (prints a UDP port of 127.0.0.1 that was free a moment ago)
//
// --size pads every event to about that many bytes (50 to 65000); without it the events have
// their natural sizes, about 20 to 1,500 bytes. --probe-ms sends, that often, a generic event
// whose key is "latency-probe" and whose value is "probe:SEQUENCE:SEND_TIME_US;", so that a
// poller can tell how long after it was sent a row became visible. --spread-ms gives each event the
// time it is sent minus a random 0 to MS milliseconds, as several senders of one machine make them
// out of order; without it all events carry the time the generator started.
#include "eventmix.h"
#include "logmessage.pb.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <google/protobuf/descriptor.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    std::string address = "127.0.0.1";
    unsigned port = 0;
    bool sink = false;
    long long count = 0;
    long long rate = 0;
    unsigned batch = 256;
    unsigned processes = 1;
    unsigned size = 0;
    long long seconds = 120;
    long long probeMs = 0;
    long long spreadMs = 0;
};

[[noreturn]] void usage(const char* problem)
{
    std::fprintf(stderr,
                 "tevrikloadgen: %s\nusage: tevrikloadgen (--port PORT | --sink) --count N [--rate EVENTS_PER_SECOND] "
                 "[--address 127.0.0.1|::1] [--batch N] [--processes N] [--size BYTES] [--seconds MAX] "
                 "[--probe-ms MS] [--spread-ms MS]\n       tevrikloadgen --free-port\n",
                 problem);
    std::exit(2);
}

long long number(const char* text, long long min, long long max)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        usage("a number is out of range");
    return value;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--sink") {
            options.sink = true;
            continue;
        }
        if (i + 1 >= argc)
            usage("an option lacks its value");
        const char* value = argv[++i];
        if (name == "--address")
            options.address = value;
        else if (name == "--port")
            options.port = static_cast<unsigned>(number(value, 1, 65535));
        else if (name == "--count")
            options.count = number(value, 1, 1000000000);
        else if (name == "--rate")
            options.rate = number(value, 0, 100000000);
        else if (name == "--batch")
            options.batch = static_cast<unsigned>(number(value, 1, 1024));
        else if (name == "--processes")
            options.processes = static_cast<unsigned>(number(value, 1, 16));
        else if (name == "--size")
            options.size = static_cast<unsigned>(number(value, 50, 65000));
        else if (name == "--seconds")
            options.seconds = number(value, 1, 600);
        else if (name == "--probe-ms")
            options.probeMs = number(value, 1, 10000);
        else if (name == "--spread-ms")
            options.spreadMs = number(value, 1, 3600000);
        else
            usage("unknown option");
    }
    if ((options.port == 0) == !options.sink || options.count == 0)
        usage("--count and one of --port and --sink are required");
    return options;
}

std::uint64_t wallMicros()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::string probeEvent(long long sequence)
{
    const std::uint64_t now = wallMicros();
    LogEvent event;
    GenericLogMsg* generic = event.mutable_generic();
    generic->set_timestamp(now / 1000);
    generic->set_recordnumber(static_cast<std::uint64_t>(sequence));
    generic->set_key("latency-probe");
    generic->set_value("probe:" + std::to_string(sequence) + ":" + std::to_string(now) + ";");
    return event.SerializeAsString();
}

// Re-encodes the pool's events with times behind the time they are sent, at random.
class Spreader
{
public:
    Spreader(const std::vector<std::string>& pool, unsigned batch, long long spreadMs)
        : m_events(pool.size())
        , m_encoded(batch)
        , m_behind(0, spreadMs)
    {
        for (size_t i = 0; i < pool.size(); ++i)
            m_events[i].ParseFromString(pool[i]);
    }

    const std::string& encoded(size_t pooled, unsigned slot, std::uint64_t nowMs)
    {
        LogEvent& event = m_events[pooled];
        const google::protobuf::Reflection* reflection = event.GetReflection();
        std::vector<const google::protobuf::FieldDescriptor*> fields;
        reflection->ListFields(event, &fields);
        for (const google::protobuf::FieldDescriptor* field : fields) {
            google::protobuf::Message* payload = reflection->MutableMessage(&event, field);
            const google::protobuf::FieldDescriptor* time = payload->GetDescriptor()->FindFieldByName("timestamp");
            payload->GetReflection()->SetUInt64(payload, time, nowMs - std::uint64_t(m_behind(m_random)));
        }
        event.SerializeToString(&m_encoded[slot]);
        return m_encoded[slot];
    }

private:
    std::vector<LogEvent> m_events;
    std::vector<std::string> m_encoded;
    std::mt19937_64 m_random {21};
    std::uniform_int_distribution<long long> m_behind;
};

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

// A socket bound to a free port of 127.0.0.1, or -1.
int boundLoopbackSocket(unsigned* port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("bind");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

struct Result
{
    long long sent = 0;
    long long failed = 0;
    long long probes = 0;
    double seconds = 0;
};

// Sends this process's share: COUNT events at RATE (0: as fast as it can), within the time bound.
Result sendShare(const Options& options, const Target& target, const std::vector<std::string>& pool, long long count,
                 long long rate, bool probing)
{
    Result result;
    const int fd = socket(target.address.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        result.failed = count;
        return result;
    }
    std::vector<mmsghdr> messages(options.batch);
    std::vector<iovec> vectors(options.batch);
    std::string probe;
    std::unique_ptr<Spreader> spreader;
    if (options.spreadMs > 0)
        spreader = std::make_unique<Spreader>(pool, options.batch, options.spreadMs);

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(options.seconds);
    Clock::time_point nextProbe = start;
    long long done = 0;
    while (done < count) {
        const Clock::time_point now = Clock::now();
        if (now >= end)
            break;
        long long due = count;
        if (rate > 0) {
            const double seconds = std::chrono::duration<double>(now - start).count();
            due = std::min(count, static_cast<long long>(seconds * static_cast<double>(rate)) + 1);
            if (due <= done) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
        }
        const unsigned batch = static_cast<unsigned>(std::min<long long>(options.batch, due - done));
        const std::uint64_t nowMs = spreader ? wallMicros() / 1000 : 0;
        for (unsigned i = 0; i < batch; ++i) {
            const size_t pooled = static_cast<size_t>((done + i) % static_cast<long long>(pool.size()));
            const std::string& datagram = spreader ? spreader->encoded(pooled, i, nowMs) : pool[pooled];
            vectors[i].iov_base = const_cast<char*>(datagram.data());
            vectors[i].iov_len = datagram.size();
        }
        const bool probeNow = probing && now >= nextProbe;
        if (probeNow) {
            probe = probeEvent(result.probes);
            vectors[0].iov_base = probe.data();
            vectors[0].iov_len = probe.size();
        }
        for (unsigned i = 0; i < batch; ++i) {
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_storage*>(&target.address);
            messages[i].msg_hdr.msg_namelen = target.length;
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(fd, messages.data(), batch, 0);
        if (sent > 0) {
            result.sent += sent;
            done += sent;
            if (probeNow) {
                ++result.probes;
                nextProbe = now + std::chrono::milliseconds(options.probeMs);
            }
        } else if (errno != EINTR) {
            // Not sent: counted apart, so that a refused datagram is not taken for a lost one.
            ++result.failed;
            ++done;
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0) {
        unsigned port = 0;
        const int fd = boundLoopbackSocket(&port);
        if (fd < 0)
            return 1;
        std::printf("%u\n", port);
        close(fd);
        return 0;
    }
    Options options = parse(argc, argv);
    // Kept open and never read: the kernel drops what does not fit, so only the sending is measured.
    int sink = -1;
    if (options.sink) {
        options.address = "127.0.0.1";
        sink = boundLoopbackSocket(&options.port);
        if (sink < 0)
            return 1;
    }
    const Target target = loopbackTarget(options);

    // The events are encoded beforehand, so that the sending loop measures the server, not us;
    // the pool of large events is smaller, to keep the generator's memory within some 16 MiB.
    const size_t poolSize = std::clamp<size_t>(size_t(16) * 1024 * 1024 / std::max(options.size, 1000u), 100, 2000);
    const std::uint64_t nowMs = wallMicros() / 1000;
    std::vector<std::string> pool;
    pool.reserve(poolSize);
    for (size_t i = 0; i < poolSize; ++i)
        pool.push_back(encodedEvent(static_cast<unsigned>(i), nowMs, options.size));

    // Each process sends its share and writes its result into a pipe; the first one sends the probes.
    std::vector<int> pipes;
    std::vector<pid_t> children;
    for (unsigned p = 0; p < options.processes; ++p) {
        int fds[2];
        if (pipe(fds) != 0) {
            std::perror("pipe");
            return 1;
        }
        const long long share = options.count / options.processes + (p < options.count % options.processes ? 1 : 0);
        const long long rate = options.rate / options.processes;
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            close(fds[0]);
            const Result result = sendShare(options, target, pool, share, rate, p == 0 && options.probeMs > 0);
            const ssize_t written = write(fds[1], &result, sizeof result);
            _exit(written == sizeof result ? 0 : 1);
        }
        close(fds[1]);
        pipes.push_back(fds[0]);
        children.push_back(child);
    }

    Result total;
    bool complete = true;
    for (size_t p = 0; p < children.size(); ++p) {
        Result result;
        if (read(pipes[p], &result, sizeof result) != sizeof result)
            complete = false;
        close(pipes[p]);
        waitpid(children[p], nullptr, 0);
        total.sent += result.sent;
        total.failed += result.failed;
        total.probes += result.probes;
        total.seconds = std::max(total.seconds, result.seconds);
    }
    if (sink >= 0)
        close(sink);

    std::printf("sent=%lld failed=%lld seconds=%.3f rate=%.0f probes=%lld\n", total.sent, total.failed, total.seconds,
                total.seconds > 0 ? static_cast<double>(total.sent) / total.seconds : 0.0, total.probes);
    return complete && total.failed == 0 ? 0 : 1;
}
