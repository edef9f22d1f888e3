// What the store's schema and its statements cost SQLite per row. The tables are those that the
// daemon's own store makes (taken from the sqlite_master of a database it created), the INSERTs those
// it writes: first as it is, with 1 to 128 rows per statement, then with the index on time of every
// table that earlier versions kept, without AUTOINCREMENT and without both. Each variant inserts the
// same rows of short texts round the tables in transactions of 8,192 rows, in a fresh database of the
// given directory (write-ahead log, synchronous=NORMAL); with --spread-ms N, each row's time lies 0 to
// N ms before the next one's, as several senders' clocks make them. The time map's entries, a few
// per transaction, are left out: tevrikstagecost counts them with the store.
//
// usage: tevrikschemacost [--spread-ms N] DIRECTORY [ROWS]
#include "configsettings.h"
#include "cputime.h"
#include "databasewrapper.h"
#include "eventmodel.h"

#include <QCoreApplication>

#include <sqlite3.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The statements that made the store's tables, in their order, and the indexes on time of earlier versions.
struct Schema
{
    std::vector<std::string> tables;
    std::vector<std::string> indexes;
};

bool storeSchema(const std::string& directory, Schema& schema)
{
    const std::string path = directory + "/reference.db";
    {
        ConfigSettings* settings = ConfigSettings::getInstance();
        settings->setDBPath(QString::fromStdString(path));
        DataBaseWrapper store(*settings, nullptr);
        if (!store.isReady()) {
            std::fprintf(stderr, "tevrikschemacost: %s\n", qPrintable(store.errorString()));
            return false;
        }
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(db,
                              "SELECT type, sql FROM sqlite_master WHERE sql IS NOT NULL "
                              "AND name != 'sqlite_sequence' ORDER BY rowid",
                              -1, &query, nullptr)
               != SQLITE_OK) {
        std::fprintf(stderr, "tevrikschemacost: %s\n", sqlite3_errmsg(db));
        sqlite3_close(db);
        return false;
    }
    while (sqlite3_step(query) == SQLITE_ROW) {
        const std::string type = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
        if (type == "table")
            schema.tables.push_back(reinterpret_cast<const char*>(sqlite3_column_text(query, 1)));
    }
    for (const EventKind& kind : eventKinds())
        schema.indexes.push_back("CREATE INDEX " + oldTimeIndex(kind.table) + " ON " + kind.table + "(time)");
    sqlite3_finalize(query);
    sqlite3_close(db);
    return !schema.tables.empty();
}

std::string withoutAutoincrement(std::string sql)
{
    const std::string word = " AUTOINCREMENT";
    for (size_t at = sql.find(word); at != std::string::npos; at = sql.find(word))
        sql.erase(at, word.size());
    return sql;
}

// CPU seconds per row, or a negative value when SQLite refused a statement.
double run(const std::string& path, const Schema& schema, bool index, bool autoincrement, size_t perStatement,
           long long rows, long long spreadMs)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        return -1;
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    bool failed = false;
    for (const std::string& table : schema.tables) {
        const std::string sql = autoincrement ? table : withoutAutoincrement(table);
        failed |= sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK;
    }
    for (const std::string& timeIndex : schema.indexes) {
        if (index)
            failed |= sqlite3_exec(db, timeIndex.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK;
    }
    const std::array<EventKind, eventKindCount>& kinds = eventKinds();
    sqlite3_stmt* inserts[eventKindCount] = {};
    for (size_t t = 0; t < kinds.size(); ++t) {
        const std::string text = DataBaseWrapper::insertText(kinds[t].id, perStatement);
        failed |= sqlite3_prepare_v3(db, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &inserts[t], nullptr)
                  != SQLITE_OK;
    }
    const char text[] = "task-name-of-the-row";
    const sqlite3_int64 time = 1765000000000;
    const long long statements = rows / (long long)perStatement;
    const long long perTransaction = 8192 / (long long)perStatement;
    const double before = cpuSeconds();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (long long s = 0; s < statements && !failed; ++s) {
        const EventKind& kind = kinds[size_t(s) % kinds.size()];
        sqlite3_stmt* insert = inserts[size_t(s) % kinds.size()];
        int parameter = 1;
        for (size_t r = 0; r < perStatement; ++r) {
            const long long row = s * (long long)perStatement + (long long)r;
            sqlite3_bind_int64(insert, parameter++, time + row / 100 - (spreadMs > 0 ? row * 7919 % spreadMs : 0));
            for (int c = 0; c < kind.columnCount; ++c) {
                if (kind.columns[size_t(c)].storage == Storage::Integer)
                    sqlite3_bind_int64(insert, parameter++, row);
                else
                    sqlite3_bind_text(insert, parameter++, text, sizeof text - 1, SQLITE_STATIC);
            }
        }
        failed = sqlite3_step(insert) != SQLITE_DONE;
        sqlite3_reset(insert);
        if ((s + 1) % perTransaction == 0)
            sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    const double used = cpuSeconds() - before;
    for (sqlite3_stmt* insert : inserts)
        sqlite3_finalize(insert);
    sqlite3_close(db);
    return failed || statements == 0 ? -1 : used / double(statements * (long long)perStatement);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    long long spreadMs = 0;
    if (argc > 2 && std::string(argv[1]) == "--spread-ms") {
        spreadMs = std::atoll(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 2 || argc > 3 || spreadMs < 0) {
        std::fprintf(stderr, "usage: tevrikschemacost [--spread-ms N] DIRECTORY [ROWS]\n");
        return 2;
    }
    const long long rows = argc == 3 ? std::atoll(argv[2]) : 1000000;
    if (rows <= 0 || rows > 100000000) {
        std::fprintf(stderr, "tevrikschemacost: ROWS must be 1 to 100000000\n");
        return 2;
    }
    Schema schema;
    if (!storeSchema(argv[1], schema))
        return 1;
    struct Variant
    {
        const char* label;
        bool index;
        bool autoincrement;
        size_t perStatement;
    };
    const Variant variants[] = {{"as the daemon's tables,", false, true, 1},
                                {"as the daemon's tables,", false, true, 8},
                                {"as the daemon's tables,", false, true, 16},
                                {"as the daemon's tables,", false, true, 32},
                                {"as the daemon's tables,", false, true, 64},
                                {"as the daemon's tables,", false, true, 128},
                                {"with the index on time,", true, true, 1},
                                {"with the index on time,", true, true, 64},
                                {"without AUTOINCREMENT,", false, false, 1},
                                {"without AUTOINCREMENT,", false, false, 64},
                                {"with the index, without AUTOINCREMENT,", true, false, 64}};
    int status = 0;
    for (size_t v = 0; v < std::size(variants); ++v) {
        const std::string path = std::string(argv[1]) + "/schema" + std::to_string(v) + ".db";
        const Variant& variant = variants[v];
        const double perRow =
            run(path, schema, variant.index, variant.autoincrement, variant.perStatement, rows, spreadMs);
        if (perRow < 0) {
            std::fprintf(stderr, "tevrikschemacost: SQLite refused a statement in %s\n", path.c_str());
            status = 1;
            continue;
        }
        std::printf("%-40s %3zu row(s) per statement %.3f us per row\n", variant.label, variant.perStatement,
                    perRow * 1e6);
    }
    return status;
}
