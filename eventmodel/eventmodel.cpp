#include "eventmodel.h"

#include "logmessage.pb.h"

#include <string>

namespace {

using google::protobuf::Message;

constexpr EventColumn text(const char* name, const char* master, const char* field, const char* value)
{
    return {name, master, field, value, Storage::Text};
}

std::string copy(std::string_view text)
{
    return std::string(text);
}

constexpr std::array<EventKind, eventKindCount> kinds = {{
    {EventKindId::MachineConfig, "machineconfig", "MachineConfig", "machine", "configuration",
     "A snapshot of the machine's configuration", 5,
     {{text("hardwareconf", "hardwareconf", "hardwareconf", "hardwareconf"),
       text("linuxver", "linuxver", "linuxver", "linuxver"),
       text("rpmsinstalled", "rpmsinstalled", "rpmsinstalled", "rpmsinstalled"),
       text("tevrikversion", "tevrikversion", "tevrikversion", "tevrikversion"),
       text("diskspace", "diskspace", "diskspace", "diskspace")}},
     "CREATE TABLE IF NOT EXISTS configuration(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "hardwareconf TEXT NOT NULL, linuxver TEXT NOT NULL, rpmsinstalled TEXT NOT NULL, tevrikversion TEXT NOT NULL, "
     "diskspace TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO configuration (time, hardwareconf, linuxver, rpmsinstalled, tevrikversion, diskspace) "
     "VALUES (:time, :hardwareconf, :linuxver, :rpmsinstalled, :tevrikversion, :diskspace)",
     [](const LogEvent& event) -> const Message* { return event.has_machine() ? &event.machine() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const MachineConfig&>(payload);
         values.time = m.timestamp();
         values.texts = {m.hardwareconf(), m.linuxver(), m.rpmsinstalled(), m.tevrikversion(), m.diskspace()};
     },
     [](LogEvent& event, const EventValues& values) {
         MachineConfig* m = event.mutable_machine();
         m->set_hardwareconf(copy(values.texts[0]));
         m->set_linuxver(copy(values.texts[1]));
         m->set_rpmsinstalled(copy(values.texts[2]));
         m->set_tevrikversion(copy(values.texts[3]));
         m->set_diskspace(copy(values.texts[4]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::CoreDump, "coredump", "CoreDump", "dump", "coredumps", "A task's core dump", 1,
     {{text("taskname", "taskname", "taskname", "nameoftask")}},
     "CREATE TABLE IF NOT EXISTS coredumps    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "taskname     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO coredumps (time, taskname) VALUES (:time, :taskname)",
     [](const LogEvent& event) -> const Message* { return event.has_dump() ? &event.dump() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const CoreDump&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.taskname();
     },
     [](LogEvent& event, const EventValues& values) {
         CoreDump* m = event.mutable_dump();
         m->set_taskname(copy(values.texts[0]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::Reboot, "reboot", "Reboot", "reboot", "reboots", "A reboot and who issued it", 1,
     {{text("issuer", "issuer", "issuer", "nameofissuer")}},
     "CREATE TABLE IF NOT EXISTS reboots      (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "issuer       TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO reboots (time, issuer) VALUES (:time, :issuer)",
     [](const LogEvent& event) -> const Message* { return event.has_reboot() ? &event.reboot() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const Reboot&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.issuer();
     },
     [](LogEvent& event, const EventValues& values) {
         Reboot* m = event.mutable_reboot();
         m->set_issuer(copy(values.texts[0]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::WatchDog, "watchdog", "WatchDog", "watchdog", "watchdog", "A watchdog trigger", 1,
     {{text("triggeredBy", "triggeredby", "triggeredBy", "triggeredby")}},
     "CREATE TABLE IF NOT EXISTS watchdog     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "triggeredBy  TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO watchdog (time, triggeredBy) VALUES (:time, :triggeredBy)",
     [](const LogEvent& event) -> const Message* { return event.has_watchdog() ? &event.watchdog() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const WatchDog&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.triggeredby();
     },
     [](LogEvent& event, const EventValues& values) {
         WatchDog* m = event.mutable_watchdog();
         m->set_triggeredby(copy(values.texts[0]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::JoinLayer, "joinlayer", "JoinLayer", "joinlayer", "joinlayer", "A task's join-layer event", 1,
     {{text("taskName", "taskname", "taskname", "nameoftask")}},
     "CREATE TABLE IF NOT EXISTS joinlayer    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "taskName     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO joinlayer (time, taskName) VALUES (:time, :taskName)",
     [](const LogEvent& event) -> const Message* { return event.has_joinlayer() ? &event.joinlayer() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const JoinLayer&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.taskname();
     },
     [](LogEvent& event, const EventValues& values) {
         JoinLayer* m = event.mutable_joinlayer();
         m->set_taskname(copy(values.texts[0]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::SpecfileUse, "specfile", "SpecfileUse", "specfile", "specfile", "The use of a spec file by a task", 2,
     {{text("taskname", "taskname", "taskname", "nameoftask"), text("specfile", "specfile", "specfile", "nameoffile")}},
     "CREATE TABLE IF NOT EXISTS specfile     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "taskname     TEXT NOT NULL, specfile TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO specfile (time, taskname, specfile) VALUES (:time, :taskname, :specfile)",
     [](const LogEvent& event) -> const Message* { return event.has_specfile() ? &event.specfile() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const SpecfileUse&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.taskname();
         values.texts[1] = m.specfile();
     },
     [](LogEvent& event, const EventValues& values) {
         SpecfileUse* m = event.mutable_specfile();
         m->set_taskname(copy(values.texts[0]));
         m->set_specfile(copy(values.texts[1]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::SystemLoad, "sysload", "SystemLoad", "systemload", "systemload", "A system-load report", 1,
     {{text("sysload", "sysload", "sysload", "sysload")}},
     "CREATE TABLE IF NOT EXISTS systemload   (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "sysload      TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO systemload (time, sysload) VALUES (:time, :sysload)",
     [](const LogEvent& event) -> const Message* { return event.has_systemload() ? &event.systemload() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const SystemLoad&>(payload);
         values.time = m.timestamp();
         values.texts[0] = m.sysload();
     },
     [](LogEvent& event, const EventValues& values) {
         SystemLoad* m = event.mutable_systemload();
         m->set_sysload(copy(values.texts[0]));
         m->set_timestamp(values.time);
     }},
    {EventKindId::GenericLogMsg, "generic", "GenericLogMsg", "generic", "generic", "A generic record", 3,
     {{{"recordNumber", "recordnumber", "recordNumber", "recordnumber", Storage::Integer},
       text("key", "key", "key", "key"), text("value", "value", "value", "value")}},
     "CREATE TABLE IF NOT EXISTS generic(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
     "recordNumber INTEGER NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, "
     "sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
     "INSERT INTO generic (time, recordNumber, key, value) VALUES (:time, :recordNumber, :key, :value)",
     [](const LogEvent& event) -> const Message* { return event.has_generic() ? &event.generic() : nullptr; },
     [](const Message& payload, EventValues& values) {
         const auto& m = static_cast<const GenericLogMsg&>(payload);
         values.time = m.timestamp();
         values.numbers[0] = m.recordnumber();
         values.texts[1] = m.key();
         values.texts[2] = m.value();
     },
     [](LogEvent& event, const EventValues& values) {
         GenericLogMsg* m = event.mutable_generic();
         m->set_recordnumber(values.numbers[0]);
         m->set_key(copy(values.texts[1]));
         m->set_value(copy(values.texts[2]));
         m->set_timestamp(values.time);
     }},
}};

constexpr std::array<EventKindId, eventKindCount> senderOrder = {
    EventKindId::CoreDump,    EventKindId::Reboot,     EventKindId::WatchDog,      EventKindId::JoinLayer,
    EventKindId::SpecfileUse, EventKindId::SystemLoad, EventKindId::MachineConfig, EventKindId::GenericLogMsg};

constexpr std::array<EventKindId, eventKindCount> creationOrder = {
    EventKindId::CoreDump,   EventKindId::Reboot,      EventKindId::WatchDog,      EventKindId::JoinLayer,
    EventKindId::SystemLoad, EventKindId::SpecfileUse, EventKindId::MachineConfig, EventKindId::GenericLogMsg};

// Each order names every kind once.
constexpr bool isPermutation(const std::array<EventKindId, eventKindCount>& order)
{
    for (std::size_t kind = 0; kind < eventKindCount; ++kind) {
        int seen = 0;
        for (EventKindId id : order)
            seen += id == EventKindId(kind) ? 1 : 0;
        if (seen != 1)
            return false;
    }
    return true;
}
static_assert(isPermutation(senderOrder) && isPermutation(creationOrder), "every order names every kind once");

constexpr bool inIdOrder()
{
    for (std::size_t i = 0; i < eventKindCount; ++i) {
        if (kinds[i].id != EventKindId(i))
            return false;
    }
    return true;
}
static_assert(inIdOrder(), "one description per kind, in the order of EventKindId");

} // namespace

const char schemaVersionTable[] = "schemaver";
const char schemaVersionCreate[] =
    "CREATE TABLE IF NOT EXISTS schemaver    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, "
    "version INTEGER NOT NULL)";

const char timeMapTable[] = "timemap";
const char timeMapCreate[] =
    "CREATE TABLE IF NOT EXISTS timemap (tableName TEXT NOT NULL, bucket INTEGER NOT NULL, firstRowID INTEGER NOT NULL, "
    "lastRowID INTEGER NOT NULL, minTime INTEGER NOT NULL, maxTime INTEGER NOT NULL, rowCount INTEGER NOT NULL, "
    "PRIMARY KEY (tableName, bucket, firstRowID)) WITHOUT ROWID";
const char timeMapIndexCreate[] = "CREATE INDEX IF NOT EXISTS timemap_rows ON timemap (tableName, lastRowID)";
const char timeMarkTable[] = "timemapmark";
const char timeMarkCreate[] =
    "CREATE TABLE IF NOT EXISTS timemapmark (tableName TEXT PRIMARY KEY NOT NULL, lastRowID INTEGER NOT NULL) "
    "WITHOUT ROWID";
const char timeMapMembership[] = "t.rowID BETWEEN m.firstRowID AND m.lastRowID AND t.time BETWEEN m.minTime AND m.maxTime";

std::string oldTimeIndex(const char* table)
{
    return std::string(table) + "_time";
}

const std::array<EventKind, eventKindCount>& eventKinds()
{
    return kinds;
}

const EventKind& eventKind(EventKindId id)
{
    return kinds[std::size_t(id)];
}

const EventKind* eventKindOfType(std::string_view type)
{
    for (const EventKind& kind : kinds) {
        if (type == kind.type)
            return &kind;
    }
    return nullptr;
}

const std::array<EventKindId, eventKindCount>& senderTypeOrder()
{
    return senderOrder;
}

std::string senderTypeList()
{
    std::string list;
    for (EventKindId id : senderOrder)
        list += (list.empty() ? "" : ", ") + std::string(eventKind(id).type);
    return list;
}

const std::array<EventKindId, eventKindCount>& tableCreationOrder()
{
    return creationOrder;
}
