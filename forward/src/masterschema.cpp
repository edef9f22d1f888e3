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

// The summary's rows of the table's rows that the condition selects (all without one), per hour, source and host.
QString hourlyRowsSql(const QString& rows, const QString& condition)
{
    return QStringLiteral("SELECT %1, source, hostname, count(*), min(time), max(time) FROM %2%3 GROUP BY 1, 2, 3")
        .arg(hourSql(QStringLiteral("time")), rows, condition.isEmpty() ? QString() : QStringLiteral(" WHERE ") + condition);
}

} // namespace

QString hourSql(const QString& column)
{
    // Integer division rounds towards zero; an hour begins at a multiple of its length, also before the epoch.
    return QStringLiteral("(%1 / %2 - (%1 % %2 < 0)::int)").arg(column).arg(masterHourMs);
}

QString summaryTableName(const QString& table)
{
    const EventKind* kind = kindOfTable(table);
    return kind ? QString::fromStdString(masterSummaryTable(*kind)) : QString();
}

QString hourlySummarySql(const QString& table)
{
    const QString summary = summaryTableName(table);
    const QString key = QStringLiteral("(h.hour, h.source, h.hostname) = (g.hour, g.source, g.hostname)");
    // The rows that a statement removed leave their hours; an hour that loses its first or last row looks for the
    // new one among its rows that are left, which lie between the two.
    const QString remaining = QStringLiteral("(SELECT %2(time) FROM %1 AS t WHERE t.hostname = h.hostname AND "
                                             "t.source = h.source AND t.time BETWEEN h.first_time AND h.last_time)")
                                  .arg(table);
    return QStringLiteral(
               "CREATE TABLE %2 (hour bigint NOT NULL, source uuid NOT NULL, hostname text NOT NULL, "
               "events bigint NOT NULL, first_time bigint NOT NULL, last_time bigint NOT NULL, "
               "PRIMARY KEY (hour, source, hostname));\n"
               "CREATE OR REPLACE FUNCTION %2_count() RETURNS trigger LANGUAGE plpgsql AS $count$\n"
               "BEGIN\n"
               "    IF TG_OP = 'TRUNCATE' THEN\n"
               "        DELETE FROM %2;\n"
               "        RETURN NULL;\n"
               "    END IF;\n"
               "    IF TG_OP <> 'INSERT' THEN\n"
               // Locked in the order of the key first, as the inserts take them.
               "        PERFORM 1 FROM %2 AS h JOIN (%3) AS g (hour, source, hostname) ON %4\n"
               "            ORDER BY h.hour, h.source, h.hostname FOR UPDATE OF h;\n"
               "        WITH g (hour, source, hostname, events, first_time, last_time) AS (%3),\n"
               "        emptied AS (DELETE FROM %2 AS h USING g WHERE %4 AND h.events = g.events)\n"
               "        UPDATE %2 AS h SET events = h.events - g.events,\n"
               "            first_time = CASE WHEN g.first_time > h.first_time THEN h.first_time ELSE %5 END,\n"
               "            last_time = CASE WHEN g.last_time < h.last_time THEN h.last_time ELSE %6 END\n"
               "        FROM g WHERE %4 AND h.events > g.events;\n"
               "    END IF;\n"
               "    IF TG_OP <> 'DELETE' THEN\n"
               // In the order of the key, so that two statements on the same hours never wait for each other.
               "        INSERT INTO %2 AS h (hour, source, hostname, events, first_time, last_time)\n"
               "        %7 ORDER BY 1, 2, 3\n"
               "        ON CONFLICT (hour, source, hostname) DO UPDATE SET events = h.events + excluded.events,\n"
               "            first_time = least(h.first_time, excluded.first_time),\n"
               "            last_time = greatest(h.last_time, excluded.last_time);\n"
               "    END IF;\n"
               "    RETURN NULL;\n"
               "END\n"
               "$count$;\n"
               "CREATE TRIGGER %2_insert AFTER INSERT ON %1 REFERENCING NEW TABLE AS new_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION %2_count();\n"
               "CREATE TRIGGER %2_delete AFTER DELETE ON %1 REFERENCING OLD TABLE AS old_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION %2_count();\n"
               "CREATE TRIGGER %2_update AFTER UPDATE ON %1 REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION %2_count();\n"
               "CREATE TRIGGER %2_truncate AFTER TRUNCATE ON %1 FOR EACH STATEMENT EXECUTE FUNCTION %2_count();\n")
        .arg(table, summary, hourlyRowsSql(QStringLiteral("old_rows"), QString()), key,
             remaining.arg(QStringLiteral("min")), remaining.arg(QStringLiteral("max")),
             hourlyRowsSql(QStringLiteral("new_rows"), QString()));
}

QString recountHoursSql(const QString& table, std::optional<qint64> firstHour, std::optional<qint64> lastHour)
{
    QStringList hours;
    QStringList times;
    if (firstHour) {
        hours << QStringLiteral("hour >= %1").arg(*firstHour);
        times << QStringLiteral("time >= %1").arg(masterHourStart(*firstHour));
    }
    if (lastHour) {
        hours << QStringLiteral("hour <= %1").arg(*lastHour);
        times << QStringLiteral("time <= %1").arg(masterHourEnd(*lastHour));
    }
    const QString summary = summaryTableName(table);
    return QStringLiteral("DELETE FROM %1%2; INSERT INTO %1 (hour, source, hostname, events, first_time, last_time) %3")
        .arg(summary, hours.isEmpty() ? QString() : QStringLiteral(" WHERE ") + hours.join(QLatin1String(" AND ")),
             hourlyRowsSql(table, times.join(QLatin1String(" AND "))));
}

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
        "-- Every event table has an hourly summary, <table>_hourly: per hour since the epoch (UTC; hour = time\n"
        "-- divided by 3600000, rounded down), source and hostname, the number of rows and their least and greatest\n"
        "-- time. Triggers keep it exact for every INSERT, UPDATE, DELETE and TRUNCATE on the event table itself (not\n"
        "-- on a partition named directly); tevriklog --master answers counts from it. tevriklogforward\n"
        "-- --convert-master makes the summary of a table made by an earlier version.\n"
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
        // A summary left by a table dropped since counts no row of the new one.
        QString create = partitionedTableSql(table, table)
                         + QStringLiteral("IF to_regclass('%1') IS NOT NULL THEN\n    DROP TABLE %1;\nEND IF;\n")
                               .arg(summaryTableName(table))
                         + hourlySummarySql(table);
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
