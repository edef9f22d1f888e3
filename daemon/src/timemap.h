#ifndef TIMEMAP_H
#define TIMEMAP_H

#include "eventmodel.h"

#include <QDeadlineTimer>

#include <array>
#include <cstdint>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The store's side of the time map (see eventmodel.h): it notes the rowID and time of each row that the store writes
// and, before the transaction's COMMIT, writes one entry per table and bucket that the rows fall in, or extends the
// table's latest entry of that bucket. Rows that the store did not write (those of an earlier version, or of another
// program) lie above a table's mark; they are mapped in chunks of rowIDs, a few milliseconds within each commit, and
// the index on time of an earlier version is dropped once its table is mapped.
//
// Invariants, per event table, of the database as committed:
// - every row with a rowID up to the mark lies in exactly one entry;
// - the entries of one bucket have rowID ranges apart, and the one with the highest firstRowID is the latest;
// - an entry's rowID range spans at most maxEntrySpan rowIDs, so that reading a part of its time reads few rows.
// The latest entries kept in memory are those of the database as last committed here; a mark that another connection
// moved makes them unknown, and the next rows start entries of their own.
class TimeMap
{
public:
    explicit TimeMap(sqlite3* db);
    ~TimeMap();
    TimeMap(const TimeMap&) = delete;
    TimeMap& operator=(const TimeMap&) = delete;

    // Reads the marks, gives each table one, and learns what is left to map; inside the transaction that made the
    // tables. SQLite's result code.
    int load();
    // Rows that earlier versions or other programs wrote, not yet mapped, as load() found them; and whether an
    // earlier version's index on time is among what they leave.
    std::int64_t unmappedAtLoad() const { return m_unmappedAtLoad; }
    bool convertsOldIndex() const { return m_oldIndexAtLoad; }
    // Whether rows are left to map.
    bool hasBacklog() const;

    // Notes one row that the open transaction wrote.
    void note(EventKindId kind, std::int64_t rowId, std::int64_t time);
    // Writes the entries of the rows noted since the last commit or rollback, and maps rows left unmapped for about
    // budgetMs; inside the open transaction, before its COMMIT. SQLite's result code.
    int write(int budgetMs);
    // The transaction that write() went into was committed, or rolled back.
    void committed();
    void rolledBack();

private:
    // The rows of one bucket that one transaction or chunk wrote.
    struct Span
    {
        std::int64_t bucket = 0;
        std::int64_t firstRowId = 0;
        std::int64_t lastRowId = 0;
        std::int64_t minTime = 0;
        std::int64_t maxTime = 0;
        std::int64_t rows = 0;
    };

    // The rows of one table that one transaction or chunk wrote, by bucket.
    struct Spans
    {
        std::vector<Span> buckets;
        std::int64_t firstRowId = 0;
        std::int64_t lastRowId = 0;
        std::int64_t rows = 0;
        size_t lastHit = 0;

        void add(std::int64_t rowId, std::int64_t time);
        void clear();
    };

    // What is known of one table's map, as committed or as the open transaction leaves it.
    struct TableState
    {
        std::int64_t mark = 0;
        // The latest entry of each recent bucket, as Spans naming the entry's own range.
        std::vector<Span> latest;
        // Whether rows above the mark may not be the store's own.
        bool backlog = false;
        bool oldIndex = false;
    };

    // The state of the table in the open transaction, copied from the committed one at first use.
    TableState& staged(size_t table);
    // Maps the table's rows after the mark up to upTo, in chunks, until the deadline; reached tells whether none is
    // left. SQLite's result code.
    int mapRows(size_t table, std::int64_t upTo, const QDeadlineTimer& deadline, bool& reached);
    int writeSpans(size_t table, const Spans& spans);
    int readMark(size_t table, std::int64_t& mark);
    // Empties the table's map, for a mark that claims rows it cannot cover.
    int resetTable(size_t table);
    int dropOldIndex(size_t table);
    int exec(const char* sql);
    sqlite3_stmt* statement(sqlite3_stmt*& slot, const char* sql);

    sqlite3* m_db;
    std::array<Spans, eventKindCount> m_noted;
    std::array<TableState, eventKindCount> m_committed;
    std::array<TableState, eventKindCount> m_staged;
    std::array<bool, eventKindCount> m_touched {};
    std::int64_t m_unmappedAtLoad = 0;
    bool m_oldIndexAtLoad = false;

    sqlite3_stmt* m_readMark = nullptr;
    sqlite3_stmt* m_setMark = nullptr;
    sqlite3_stmt* m_insertEntry = nullptr;
    sqlite3_stmt* m_extendEntry = nullptr;
    std::array<sqlite3_stmt*, eventKindCount> m_readRows {};
};

#endif
