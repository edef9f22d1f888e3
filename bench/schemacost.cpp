// What the store's schema costs SQLite per row: the tables as the daemon makes them, then
// without the time index, without AUTOINCREMENT, and without both. Each variant inserts the same
// rows of short texts round the tables with one prepared statement per table, in transactions of
// 8,192 rows, in a fresh database of the given directory (write-ahead log, synchronous=NORMAL).
//
// usage: tevrikschemacost DIRECTORY [ROWS]
#include "cputime.h"
#include "eventmodel.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

namespace {

// The store's statement without AUTOINCREMENT.
std::string withoutAutoincrement(std::string create)
{
    const std::string word = " AUTOINCREMENT";
    const std::size_t at = create.find(word);
    if (at != std::string::npos)
        create.erase(at, word.size());
    return create;
}

// CPU seconds per row, or a negative value when SQLite refused a step.
double run(const std::string& path, bool index, bool autoincrement, long long rows)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        return -1;
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    const auto& kinds = eventKinds();
    sqlite3_stmt* inserts[eventKindCount] = {};
    for (EventKindId id : tableCreationOrder()) {
        const EventKind& kind = eventKind(id);
        const std::string name = kind.table;
        const std::string create = autoincrement ? kind.createTable : withoutAutoincrement(kind.createTable);
        sqlite3_exec(db, create.c_str(), nullptr, nullptr, nullptr);
        if (index)
            sqlite3_exec(db, ("CREATE INDEX " + name + "_time ON " + name + "(time)").c_str(), nullptr, nullptr,
                         nullptr);
        sqlite3_prepare_v3(db, kind.insert, -1, SQLITE_PREPARE_PERSISTENT, &inserts[size_t(id)], nullptr);
    }
    const char text[] = "task-name-of-the-row";
    const sqlite3_int64 time = 1765000000000;
    bool failed = false;
    const double before = cpuSeconds();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (long long i = 0; i < rows && !failed; ++i) {
        const EventKind& kind = kinds[size_t(i) % eventKindCount];
        sqlite3_stmt* insert = inserts[size_t(i) % eventKindCount];
        sqlite3_bind_int64(insert, 1, time + i / 100);
        for (int c = 0; c < kind.columnCount; ++c) {
            if (kind.columns[size_t(c)].storage == Storage::Integer)
                sqlite3_bind_int64(insert, c + 2, i);
            else
                sqlite3_bind_text(insert, c + 2, text, sizeof text - 1, SQLITE_STATIC);
        }
        failed = sqlite3_step(insert) != SQLITE_DONE;
        sqlite3_reset(insert);
        if ((i + 1) % 8192 == 0)
            sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double used = cpuSeconds() - before;
    for (sqlite3_stmt* insert : inserts)
        sqlite3_finalize(insert);
    sqlite3_close(db);
    return failed ? -1 : used / double(rows);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: tevrikschemacost DIRECTORY [ROWS]\n");
        return 2;
    }
    const long long rows = argc == 3 ? std::atoll(argv[2]) : 1000000;
    if (rows <= 0 || rows > 100000000) {
        std::fprintf(stderr, "tevrikschemacost: ROWS must be 1 to 100000000\n");
        return 2;
    }
    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    struct Variant
    {
        const char* label;
        bool index;
        bool autoincrement;
    };
    const Variant variants[] = {{"as the daemon's tables", true, true},
                                {"without the time index", false, true},
                                {"without AUTOINCREMENT", true, false},
                                {"without both", false, false}};
    int status = 0;
    for (size_t v = 0; v < std::size(variants); ++v) {
        const std::string path = std::string(argv[1]) + "/schema" + std::to_string(v) + ".db";
        const double perRow = run(path, variants[v].index, variants[v].autoincrement, rows);
        if (perRow < 0) {
            std::fprintf(stderr, "tevrikschemacost: SQLite refused a row in %s\n", path.c_str());
            status = 1;
            continue;
        }
        std::printf("%-24s %.3f us per row\n", variants[v].label, perRow * 1e6);
    }
    return status;
}
