#include "masterschema.h"

#include "eventmodel.h"

#include <QDateTime>
#include <QStringList>

namespace {

const EventKind* kindOfTable(const QString& table)
{
    for (const EventKind& kind : eventKinds()) {
        if (table == QLatin1String(kind.table))
            return &kind;
    }
    return nullptr;
}

} // namespace

QString masterColumnList(const QString& table)
{
    QStringList columns{QStringLiteral("source"), QStringLiteral("hostname"), QStringLiteral("rowid"),
                        QStringLiteral("time"), QStringLiteral("at")};
    const EventKind* kind = kindOfTable(table);
    for (int c = 0; kind && c < kind->columnCount; ++c)
        columns << QLatin1String(kind->columns[static_cast<size_t>(c)].master);
    return columns.join(QLatin1String(", "));
}

QString partitionedTableSql(const QString& table, const QString& name)
{
    const EventKind* kind = kindOfTable(table);
    QString columns;
    for (int c = 0; kind && c < kind->columnCount; ++c) {
        const EventColumn& column = kind->columns[static_cast<size_t>(c)];
        columns += QStringLiteral(", %1 %2 NOT NULL")
                       .arg(QLatin1String(column.master),
                            column.storage == Storage::Integer ? QStringLiteral("bigint") : QStringLiteral("text"));
    }
    // A row's time never changes, so the key with time still holds each row once.
    return QStringLiteral("CREATE TABLE %1 (source uuid NOT NULL, hostname text NOT NULL, rowid bigint NOT NULL, "
                          "time bigint NOT NULL, at timestamptz%2, PRIMARY KEY (source, rowid, time)) "
                          "PARTITION BY RANGE (time);\n"
                          "CREATE INDEX %1_time ON %1 (time);\n"
                          // One host's newest rows without reading the other hosts' rows between them.
                          "CREATE INDEX %1_hostname_time ON %1 (hostname, time);\n"
                          "CREATE TABLE %1_default PARTITION OF %1 DEFAULT;\n")
        .arg(name, columns);
}

QString partitionName(const QString& table, qint64 startMs)
{
    return QStringLiteral("%1_p%2").arg(table, QDateTime::fromMSecsSinceEpoch(startMs, Qt::UTC)
                                                   .toString(QStringLiteral("yyyyMMdd")));
}

QString masterSchemaSql(int partitionDays)
{
    QString sql = QStringLiteral(
        "-- Master database of the tevrik system log: the events of every forwarding machine.\n"
        "-- tevriklogforward runs this when it connects; an operator may run it beforehand with psql.\n"
        "-- Each local database is a source (a UUID kept in that database); a row's key is (source, rowid, time),\n"
        "-- rowid being the row's rowID in its local table. time is the event's time in milliseconds since\n"
        "-- the Unix epoch as stored locally; at is the same instant for queries, NULL when it lies outside\n"
        "-- the range of timestamptz. Every event table is partitioned by time: the forwarders make a partition\n"
        "-- of partition_days days (UTC) before they store rows of it; rows of no partition go to the default one.\n"
        "BEGIN;\n"
        "-- Forwarders that start together create the tables one after the other.\n"
        "SELECT pg_advisory_xact_lock(%1);\n\n"
        "CREATE TABLE IF NOT EXISTS sources (\n"
        "    source        uuid PRIMARY KEY,\n"
        "    hostname      text NOT NULL,\n"
        "    first_contact timestamptz NOT NULL DEFAULT now(),\n"
        "    last_contact  timestamptz NOT NULL DEFAULT now(),\n"
        "    -- When the source last delivered rows more than a day older than the master's clock: a follower\n"
        "    -- looks for the new rows of the other sources in the recent partitions only.\n"
        "    old_rows_at   timestamptz\n"
        ");\n\n"
        "-- One row: the size of the partitions, fixed when the master is made, the last retention run and its\n"
        "-- window in days, within which a forwarder sends again the rows that a restored master lacks.\n"
        "CREATE TABLE IF NOT EXISTS partitioning (\n"
        "    one            boolean PRIMARY KEY DEFAULT true CHECK (one),\n"
        "    partition_days integer NOT NULL CHECK (partition_days > 0),\n"
        "    retention_run  timestamptz,\n"
        "    retention_days integer\n"
        ");\n"
        "INSERT INTO partitioning (partition_days) VALUES (%2) ON CONFLICT DO NOTHING;\n\n"
        "-- A table made by an earlier version, without partitions, is left as it is: tevriklogforward\n"
        "-- --convert-master converts it.\n"
        "DO $$\nBEGIN\n"
        "    IF NOT EXISTS (SELECT 1 FROM pg_attribute WHERE attrelid = 'sources'::regclass\n"
        "                   AND attname = 'old_rows_at' AND NOT attisdropped) THEN\n"
        "        ALTER TABLE sources ADD COLUMN old_rows_at timestamptz;\n"
        "    END IF;\n")
                      .arg(masterLayoutLock)
                      .arg(partitionDays);
    for (const EventKind& kind : eventKinds()) {
        const QString table = QLatin1String(kind.table);
        QString create = partitionedTableSql(table, table);
        create.replace(QLatin1Char('\n'), QLatin1String("\n        "));
        sql += QStringLiteral("    IF to_regclass('%1') IS NULL THEN\n        %2\n    END IF;\n")
                   .arg(table, create.trimmed());
    }
    sql += QStringLiteral(
        "END\n$$;\n"
        "-- recordnumber holds the local value: an unsigned record number above 2^63 reads as negative,\n"
        "-- as in the local database; (recordnumber::numeric + 18446744073709551616) % 18446744073709551616 "
        "restores it.\n"
        "COMMIT;\n");
    return sql;
}
