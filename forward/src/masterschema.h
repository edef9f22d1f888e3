#ifndef MASTERSCHEMA_H
#define MASTERSCHEMA_H

#include <QString>
#include <QtGlobal>

#include <optional>

// The master database's layout, written from the event model: the statements that create it, the names of
// its partitions and the advisory lock under which forwarders change it.

// Forwarders that create or change the layout do it one after the other under this transaction lock.
constexpr qint64 masterLayoutLock = 7735420911;
constexpr qint64 dayMs = 86400000;

// The start of the recent rows in the master's clock, as an SQL expression: a batch with older rows marks its
// source in sources.old_rows_at, and a follower looks at the rows of the other sources from here on.
inline QString masterRecentTimeSql()
{
    return QStringLiteral("((extract(epoch FROM now()) * 1000)::bigint - 86400000)");
}

// The whole schema as one script, run by the forwarder at each connection and installed for operators
// (psql -f): only what is missing is created. partitionDays is the size of a partition of a master it creates.
QString masterSchemaSql(int partitionDays);
// The statements that create one event table partitioned by time, with its index on time and its default
// partition, under the given name.
QString partitionedTableSql(const QString& table, const QString& name);
// The name of the partition of a table that starts at startMs: the table and the day it starts, in UTC.
QString partitionName(const QString& table, qint64 startMs);
// The column list of an event table on the master, in its order.
QString masterColumnList(const QString& table);
// The hour of a bigint time column as SQL, as masterHourOf() gives it.
QString hourSql(const QString& column);
// The name of an event table's hourly summary.
QString summaryTableName(const QString& table);
// The statements that make an event table's hourly summary, empty, with the triggers that keep it exact from then
// on: every statement on the event table adds the rows that it really inserted and takes away those it deleted.
QString hourlySummarySql(const QString& table);
// The statements that count the hours from firstHour to lastHour (every hour where not given) of a table's
// summary again from its rows.
QString recountHoursSql(const QString& table, std::optional<qint64> firstHour, std::optional<qint64> lastHour);

#endif
