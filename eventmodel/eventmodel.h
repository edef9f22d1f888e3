#ifndef EVENTMODEL_H
#define EVENTMODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

class LogEvent;
namespace google::protobuf {
class Message;
}

// The eight kinds of event, described once: what the sender calls each kind and its values, the
// payload that carries it, the table that stores it and the master's columns. Every program takes
// these facts from here.

// How a column is stored: an integer (an unsigned 64-bit value in the bits of SQLite's signed
// integer, as PostgreSQL's bigint) or a text.
enum class Storage { Integer, Text };

// One column of an event table besides rowID, time and sentToMasterDB.
struct EventColumn
{
    // The column of the local table.
    const char* name;
    // The column of the master table.
    const char* master;
    // The field of the payload message that fills it.
    const char* field;
    // The sender's name of the value in its help (-m).
    const char* value;
    Storage storage;
};

constexpr int maxEventColumns = 5;

// One payload's values in column order: numbers[i] for an integer column, texts[i] for a text
// column. The texts view the payload's strings, as the event holds them.
struct EventValues
{
    std::uint64_t time = 0;
    std::array<std::uint64_t, maxEventColumns> numbers {};
    std::array<std::string_view, maxEventColumns> texts {};
};

// The kinds in the order of their fields in the envelope.
enum class EventKindId { MachineConfig, CoreDump, Reboot, WatchDog, JoinLayer, SpecfileUse, SystemLoad, GenericLogMsg,
                         Count };
constexpr std::size_t eventKindCount = std::size_t(EventKindId::Count);

struct EventKind
{
    EventKindId id;
    // The sender's name of the type (-t).
    const char* type;
    // The payload message and the envelope's field that carries it.
    const char* payload;
    const char* envelopeField;
    // The local table, and the master's table of the same name.
    const char* table;
    // What an event of this kind is, in a few words for the manual pages.
    const char* summary;
    int columnCount;
    std::array<EventColumn, maxEventColumns> columns;
    // The statements of the local store, exactly as it executes them.
    const char* createTable;
    const char* insert;
    // The event's payload of this kind, or null when it carries none.
    const google::protobuf::Message* (*carried)(const LogEvent& event);
    // The time and values of a payload of this kind.
    void (*read)(const google::protobuf::Message& payload, EventValues& values);
    // Sets the payload's values and time.
    void (*fill)(LogEvent& event, const EventValues& values);
};

// The kinds in the order of their envelope fields: the order in which the store writes an
// event's payloads, and in which the reader breaks ties of time.
const std::array<EventKind, eventKindCount>& eventKinds();
const EventKind& eventKind(EventKindId id);
// The kind of a type as the sender names it, matched exactly; null for none.
const EventKind* eventKindOfType(std::string_view type);

// Calls f(kind, values) for each payload that the event carries, in the order of eventKinds().
template <typename Function>
void forEachPayload(const LogEvent& event, Function&& f)
{
    for (const EventKind& kind : eventKinds()) {
        if (const google::protobuf::Message* payload = kind.carried(event)) {
            EventValues values;
            kind.read(*payload, values);
            f(kind, values);
        }
    }
}

// The order in which the sender lists its types.
const std::array<EventKindId, eventKindCount>& senderTypeOrder();
// The sender's types in its order, separated by a comma and a blank, as the help texts list them.
std::string senderTypeList();
// The order in which the store creates the kinds' tables, after the schema version's.
const std::array<EventKindId, eventKindCount>& tableCreationOrder();

// The master database's type of a column: bigint or text.
inline const char* masterColumnType(const EventColumn& column)
{
    return column.storage == Storage::Integer ? "bigint" : "text";
}

// The master's hourly summary of an event table: per hour (UTC), source and host name, the number of rows and
// their first and last time, kept exact by the master's own triggers. An hour is numbered from the epoch.
constexpr std::int64_t masterHourMs = 3600000;
inline std::string masterSummaryTable(const EventKind& kind)
{
    return std::string(kind.table) + "_hourly";
}
// The hour of a time, rounded down, for every time.
constexpr std::int64_t masterHourOf(std::int64_t time)
{
    return time / masterHourMs - (time % masterHourMs < 0 ? 1 : 0);
}
// The first and the last time of an hour, within the range of the times: the hours at both ends hold fewer.
constexpr std::int64_t masterHourStart(std::int64_t hour)
{
    return hour <= masterHourOf(std::numeric_limits<std::int64_t>::min()) ? std::numeric_limits<std::int64_t>::min()
           : hour > masterHourOf(std::numeric_limits<std::int64_t>::max()) ? std::numeric_limits<std::int64_t>::max()
                                                                            : hour * masterHourMs;
}
constexpr std::int64_t masterHourEnd(std::int64_t hour)
{
    return hour >= masterHourOf(std::numeric_limits<std::int64_t>::max()) ? std::numeric_limits<std::int64_t>::max()
           : hour < masterHourOf(std::numeric_limits<std::int64_t>::min()) ? std::numeric_limits<std::int64_t>::min()
                                                                            : (hour + 1) * masterHourMs - 1;
}

// The table of the schema version, which every store has and no event fills.
extern const char schemaVersionTable[];
extern const char schemaVersionCreate[];

// The time map, which finds the rows of a time window without an index on time. Each entry covers the rows of one
// event table whose time falls in one bucket of timeBucket() and whose rowIDs lie from firstRowID to lastRowID, their
// least and greatest time, and their count; the store writes entries once per transaction, not per row. The entries
// of one table and bucket have rowID ranges apart, so a row belongs to exactly one entry, the one that
// timeMapMembership holds for. The mark of each table tells how far its rows are mapped: every row up to lastRowID
// belongs to an entry, later ones are read directly.
extern const char timeMapTable[];
extern const char timeMapCreate[];
// Finds the entries that end within a range of rowIDs, for pruning.
extern const char timeMapIndexCreate[];
extern const char timeMarkTable[];
extern const char timeMarkCreate[];
// The condition that the row t lies in the entry m.
extern const char timeMapMembership[];
// The index on time that earlier versions kept on every table, "<table>_time"; a store drops it once the table is
// mapped, and a reader uses it while it exists.
std::string oldTimeIndex(const char* table);

// Buckets of 65.536 s: a one-minute window reads the entries of one or two. SQLite keeps a time above 2^63 - 1 as a
// negative number, which lands in a negative bucket, as the signed comparison of times orders it.
constexpr int timeBucketShift = 16;
constexpr std::int64_t timeBucket(std::int64_t time)
{
    return time >= 0 ? time >> timeBucketShift : -((-(time + 1)) >> timeBucketShift) - 1;
}

#endif
