// Watches a store for the latency probes of tevrikloadgen and prints how long after its sending
// each probe became visible: in the daemon's database on a second, read-only connection, or in a
// log file that another server appends to.
//
// usage: tevrikprobepoller (--db DATABASE | --file LOG) [--seconds MAX]
//
// It polls every millisecond until SIGTERM, SIGINT or the time bound, then prints
// "probes=N p50=MS p99=MS max=MS".
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

std::int64_t wallMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Adds the latency of every "probe:SEQUENCE:SEND_TIME_US;" in the text, seen now.
void collect(const std::string& text, std::int64_t now, std::vector<double>* latenciesMs)
{
    const std::string marker = "probe:";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t colon = text.find(':', at + marker.size());
        const size_t end = colon == std::string::npos ? colon : text.find(';', colon);
        if (end == std::string::npos)
            continue;
        const std::int64_t sent = std::strtoll(text.c_str() + colon + 1, nullptr, 10);
        latenciesMs->push_back(static_cast<double>(now - sent) / 1000.0);
    }
}

class DatabaseSource
{
public:
    explicit DatabaseSource(const QString& path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        if (!db.open()) {
            std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(path), qPrintable(db.lastError().text()));
            std::exit(1);
        }
        m_query = QSqlQuery(db);
        m_query.setForwardOnly(true);
        m_query.prepare(QStringLiteral("SELECT rowID, value FROM generic WHERE rowID > ? AND key = 'latency-probe'"));
    }

    void poll(std::vector<double>* latenciesMs)
    {
        m_query.bindValue(0, m_lastRow);
        if (!m_query.exec())
            return;
        const std::int64_t now = wallMicros();
        while (m_query.next()) {
            m_lastRow = std::max(m_lastRow, m_query.value(0).toLongLong());
            collect(m_query.value(1).toString().toStdString(), now, latenciesMs);
        }
        m_query.finish();
    }

private:
    QSqlQuery m_query;
    qlonglong m_lastRow = 0;
};

class FileSource
{
public:
    explicit FileSource(std::string path)
        : m_path(std::move(path))
    {
    }

    void poll(std::vector<double>* latenciesMs)
    {
        if (!m_file.is_open()) {
            m_file.open(m_path, std::ios::binary);
            if (!m_file.is_open())
                return;
        }
        m_file.clear();
        char chunk[65536];
        std::string fresh;
        while (m_file.read(chunk, sizeof chunk) || m_file.gcount() > 0)
            fresh.append(chunk, static_cast<size_t>(m_file.gcount()));
        if (fresh.empty())
            return;
        const std::int64_t now = wallMicros();
        // Only whole lines: a probe cut by the end of what was written so far is read the next time.
        m_partial += fresh;
        const size_t lastLine = m_partial.rfind('\n');
        if (lastLine == std::string::npos)
            return;
        collect(m_partial.substr(0, lastLine), now, latenciesMs);
        m_partial.erase(0, lastLine + 1);
    }

private:
    std::string m_path;
    std::ifstream m_file;
    std::string m_partial;
};

double percentile(const std::vector<double>& sorted, double share)
{
    if (sorted.empty())
        return 0;
    const auto index = static_cast<size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

template<typename Source>
void run(Source& source, long long seconds, std::vector<double>* latenciesMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
        source.poll(latenciesMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    source.poll(latenciesMs);
}

} // namespace

int main(int argc, char** argv)
{
    // First, so that a stop that comes early still ends with the result line.
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    QCoreApplication app(argc, argv);
    std::string db;
    std::string file;
    long long seconds = 300;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--db") == 0)
            db = argv[i + 1];
        else if (std::strcmp(argv[i], "--file") == 0)
            file = argv[i + 1];
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::clamp(std::atoll(argv[i + 1]), 1LL, 3600LL);
    }
    if (db.empty() == file.empty()) {
        std::fprintf(stderr, "usage: tevrikprobepoller (--db DATABASE | --file LOG) [--seconds MAX]\n");
        return 2;
    }

    std::vector<double> latenciesMs;
    if (!db.empty()) {
        DatabaseSource source(QString::fromStdString(db));
        run(source, seconds, &latenciesMs);
    } else {
        FileSource source(file);
        run(source, seconds, &latenciesMs);
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    std::printf("probes=%zu p50=%.1f p99=%.1f max=%.1f\n", latenciesMs.size(), percentile(latenciesMs, 0.5),
                percentile(latenciesMs, 0.99), latenciesMs.empty() ? 0.0 : latenciesMs.back());
    return 0;
}
