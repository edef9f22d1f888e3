#include "masterschema.h"

namespace {

const char header[] =
    "-- Master database of the tevrik system log: the events of every forwarding machine.\n"
    "-- tevriklogforward runs this when it connects; an operator may run it beforehand with psql.\n"
    "-- Each local database is a source (a UUID kept in that database); a row's key is (source, rowid),\n"
    "-- rowid being the row's rowID in its local table. time is the event's time in milliseconds since\n"
    "-- the Unix epoch as stored locally; at is the same instant for queries, NULL when it lies outside\n"
    "-- the range of timestamptz.\n"
    "BEGIN;\n"
    "-- Forwarders that start together create the tables one after the other.\n"
    "SELECT pg_advisory_xact_lock(7735420911);\n"
    "\n"
    "CREATE TABLE IF NOT EXISTS sources (\n"
    "    source        uuid PRIMARY KEY,\n"
    "    hostname      text NOT NULL,\n"
    "    first_contact timestamptz NOT NULL DEFAULT now(),\n"
    "    last_contact  timestamptz NOT NULL DEFAULT now()\n"
    ");\n"
    "\n";

const char commonColumns[] =
    "    source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, time bigint NOT NULL, at timestamptz,\n";

// The kind's own columns are listed after the common ones, wrapped before a line grows beyond this.
const std::size_t columnLineLength = 100;

std::string createTable(const EventKind& kind)
{
    std::string sql;
    for (int c = 0; c < kind.columnCount; ++c) {
        const EventColumn& column = kind.columns[std::size_t(c)];
        if (column.storage == Storage::Integer) {
            const std::string name = column.master;
            sql += "-- " + name + " holds the local value: an unsigned number above 2^63 reads as negative,\n"
                   "-- as in the local database; (" + name
                   + "::numeric + 18446744073709551616) % 18446744073709551616 restores it.\n";
        }
    }
    sql += std::string("CREATE TABLE IF NOT EXISTS ") + kind.table + " (\n" + commonColumns;
    std::string line = "   ";
    for (int c = 0; c < kind.columnCount; ++c) {
        const EventColumn& column = kind.columns[std::size_t(c)];
        const std::string definition = std::string(" ") + column.master + " " + masterColumnType(column) + " NOT NULL,";
        if (line.size() + definition.size() > columnLineLength) {
            sql += line + "\n";
            line = "   ";
        }
        line += definition;
    }
    sql += line + "\n    PRIMARY KEY (source, rowid)\n);\n";
    return sql;
}

} // namespace

const char* masterColumnType(const EventColumn& column)
{
    return column.storage == Storage::Integer ? "bigint" : "text";
}

std::string masterSchemaSql()
{
    std::string sql = header;
    for (const EventKind& kind : eventKinds())
        sql += createTable(kind);
    sql += "\n-- Queries across hosts select by time.\n";
    for (const EventKind& kind : eventKinds())
        sql += std::string("CREATE INDEX IF NOT EXISTS ") + kind.table + "_at ON " + kind.table + " (at);\n";
    sql += "COMMIT;\n";
    return sql;
}
