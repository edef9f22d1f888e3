#include "masterpartitions.h"

#include "eventmodel.h"
#include "pgconnection.h"

#include <QDateTime>
#include <QRegularExpression>

#include <libpq-fe.h>

namespace {

// The start of the aligned partition that holds a time, also for times before the epoch.
qint64 alignedStart(qint64 time, qint64 size)
{
    const qint64 start = time / size * size;
    return start > time ? start - size : start;
}

QString isoTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString tableArray()
{
    QStringList names;
    for (const EventKind& kind : eventKinds())
        names << QLatin1String(kind.table);
    return QLatin1Char('{') + names.join(QLatin1Char(',')) + QLatin1Char('}');
}

} // namespace

bool MasterPartitions::run(PgConnection& pg, const QString& sql)
{
    return pg.command(sql.toUtf8());
}

bool MasterPartitions::lockLayout(PgConnection& pg)
{
    return pg.exec(QStringLiteral("BEGIN; SELECT pg_advisory_xact_lock(%1)").arg(masterLayoutLock).toUtf8(), {},
                   PGRES_TUPLES_OK)
           != nullptr;
}

void MasterPartitions::forgetPartitions()
{
    m_ranges = QVector<QMap<qint64, Range>>(int(eventKindCount));
    m_names = QVector<QMap<qint64, QString>>(int(eventKindCount));
}

bool MasterPartitions::load(PgConnection& pg)
{
    // Partitioned only when every event table is: a master made by an earlier version has none of them so.
    const PgConnection::Result result =
        pg.exec("SELECT bool_and(c.relkind = 'p'), (SELECT partition_days FROM partitioning), "
                "(SELECT to_jsonb(p) ? 'retention_days' FROM partitioning AS p), "
                "(SELECT CASE WHEN retention_run > now() - interval '1 day' THEN to_jsonb(p) ->> 'retention_days' END "
                "FROM partitioning AS p) "
                "FROM unnest($1::text[]) AS t(name) JOIN pg_class c ON c.oid = to_regclass(t.name)",
                {tableArray().toUtf8()}, PGRES_TUPLES_OK);
    if (!result)
        return false;
    m_partitioned = QByteArray(PQgetvalue(result.get(), 0, 0)) == "t";
    const int days = QByteArray(PQgetvalue(result.get(), 0, 1)).toInt();
    m_partitionMs = (days > 0 ? days : 1) * dayMs;
    m_retentionColumn = QByteArray(PQgetvalue(result.get(), 0, 2)) == "t";
    m_retentionDays = QByteArray(PQgetvalue(result.get(), 0, 3)).toInt();
    return !m_partitioned || readPartitions(pg);
}

bool MasterPartitions::readPartitions(PgConnection& pg)
{
    const PgConnection::Result result =
        pg.exec("SELECT t.name, c.relname, pg_get_expr(c.relpartbound, c.oid) "
                "FROM unnest($1::text[]) AS t(name) JOIN pg_inherits i "
                "ON i.inhparent = to_regclass(t.name) JOIN pg_class c ON c.oid = i.inhrelid",
                {tableArray().toUtf8()}, PGRES_TUPLES_OK);
    if (!result)
        return false;
    forgetPartitions();
    m_defaults = QStringList();
    for (int t = 0; t < int(eventKindCount); ++t)
        m_defaults << QString();
    static const QRegularExpression bounds(QStringLiteral("FROM \\('?(-?\\d+)'?\\) TO \\('?(-?\\d+)'?\\)"));
    for (int i = 0; i < PQntuples(result.get()); ++i) {
        const QString table = QString::fromUtf8(PQgetvalue(result.get(), i, 0));
        const QString name = QString::fromUtf8(PQgetvalue(result.get(), i, 1));
        const QString bound = QString::fromUtf8(PQgetvalue(result.get(), i, 2));
        int index = 0;
        while (QLatin1String(eventKinds()[std::size_t(index)].table) != table)
            ++index;
        if (bound == QLatin1String("DEFAULT")) {
            m_defaults[index] = name;
            continue;
        }
        const QRegularExpressionMatch match = bounds.match(bound);
        if (!match.hasMatch())
            continue;
        const Range range{match.captured(1).toLongLong(), match.captured(2).toLongLong()};
        m_ranges[index].insert(range.start, range);
        m_names[index].insert(range.start, name);
    }
    return true;
}

QVector<MasterPartitions::Range> MasterPartitions::missing(int table, const QVector<qint64>& times) const
{
    const QMap<qint64, Range>& ranges = m_ranges.at(table);
    QVector<Range> made;
    for (const qint64 time : times) {
        auto next = ranges.upperBound(time);
        const bool covered = next != ranges.begin() && std::prev(next)->end > time;
        const bool madeAlready = std::any_of(made.cbegin(), made.cend(), [time](const Range& range) {
            return range.start <= time && time < range.end;
        });
        if (covered || madeAlready)
            continue;
        Range range{alignedStart(time, m_partitionMs), alignedStart(time, m_partitionMs) + m_partitionMs};
        // A partition made otherwise (by hand, or with another size) stays as it is: the new one fills the gap.
        if (next != ranges.begin())
            range.start = std::max(range.start, std::prev(next)->end);
        if (next != ranges.end())
            range.end = std::min(range.end, next->start);
        made << range;
    }
    return made;
}

bool MasterPartitions::create(PgConnection& pg, int table, const Range& range)
{
    const QString name = QLatin1String(eventKinds()[std::size_t(table)].table);
    const QString partition =
        range.start % dayMs == 0
            ? partitionName(name, range.start)
            : partitionName(name, range.start)
                  + QDateTime::fromMSecsSinceEpoch(range.start, Qt::UTC).toString(QStringLiteral("_HHmmsszzz"));
    const QString& fallback = m_defaults.at(table);
    const QString where = QStringLiteral("time >= %1 AND time < %2").arg(range.start).arg(range.end);
    // The default partition may hold rows of the new range, which must move into it: the server refuses to make a
    // partition whose rows sit in the default one. No other partition holds the range, so a delete through the
    // table reads the default partition only, and the summary's triggers see both the delete and the insert.
    bool ok = fallback.isEmpty()
              || run(pg, QStringLiteral("CREATE TEMP TABLE tevrik_moving ON COMMIT DROP AS WITH moved AS "
                                          "(DELETE FROM %1 WHERE %2 RETURNING *) SELECT * FROM moved")
                               .arg(name, where));
    ok = ok
         && run(pg, QStringLiteral("CREATE TABLE %1 PARTITION OF %2 FOR VALUES FROM (%3) TO (%4)")
                          .arg(partition, name)
                          .arg(range.start)
                          .arg(range.end));
    ok = ok
         && (fallback.isEmpty()
             || run(pg, QStringLiteral("INSERT INTO %1 SELECT * FROM tevrik_moving; DROP TABLE tevrik_moving").arg(name)));
    if (ok) {
        m_ranges[table].insert(range.start, range);
        m_names[table].insert(range.start, partition);
    }
    return ok;
}

bool MasterPartitions::prepare(PgConnection& pg, const QVector<TableBatch>& batches, qint64 nowMs)
{
    if (!m_partitioned) {
        // A master converted while this forwarder runs is partitioned from its next batch on.
        if (!load(pg))
            return false;
        if (!m_partitioned)
            return true;
    }
    const int tables = int(eventKindCount);
    QVector<QVector<qint64>> times(tables);
    for (int t = 0; t < tables; ++t) {
        for (int day = 0; day <= daysAhead; ++day)
            times[t] << nowMs + day * dayMs;
    }
    const qint64 oldest = nowMs - daysBack * dayMs;
    const qint64 newest = nowMs + (daysAhead + 1) * dayMs;
    for (const TableBatch& batch : batches) {
        for (const LocalRow& row : batch.rows) {
            // Rows far from now (a wrong clock) go to the default partition rather than make one of their own.
            if (row.time >= oldest && row.time < newest)
                times[batch.table] << row.time;
        }
    }
    bool needed = false;
    for (int t = 0; t < tables && !needed; ++t)
        needed = !missing(t, times.at(t)).isEmpty();
    if (!needed)
        return true;
    // Another forwarder may have made them meanwhile: the partitions are read again under the lock.
    bool ok = lockLayout(pg) && readPartitions(pg);
    for (int t = 0; t < tables && ok; ++t) {
        for (const Range& range : missing(t, times.at(t))) {
            if (!(ok = create(pg, t, range)))
                break;
        }
    }
    ok = ok && run(pg, QStringLiteral("COMMIT"));
    if (!ok) {
        pg.rollback();
        forgetPartitions();
    }
    return ok;
}

bool MasterPartitions::applyRetention(PgConnection& pg, int retentionDays, qint64 nowMs, QStringList* reports)
{
    if (!m_partitioned)
        return true;
    const PgConnection::Result begun =
        pg.exec(QStringLiteral("BEGIN; SELECT pg_try_advisory_xact_lock(%1) AND "
                               "(SELECT retention_run IS NULL OR retention_run <= now() - "
                               "interval '1 hour' FROM partitioning)")
                    .arg(masterLayoutLock)
                    .toUtf8(),
                {}, PGRES_TUPLES_OK);
    if (!begun) {
        pg.rollback();
        return false;
    }
    const bool due = QByteArray(PQgetvalue(begun.get(), 0, 0)) == "t";
    const qint64 cutoff = nowMs - retentionDays * dayMs;
    // Waiting long for the tables would hold the forwarders' writes behind the drop: it is tried again later.
    QStringList summaries;
    bool ok = !due
              || (run(pg, QStringLiteral("SET LOCAL lock_timeout = '2s'")) && readPartitions(pg)
                  && readSummaries(pg, summaries));
    QStringList done;
    for (int t = 0; t < int(eventKindCount) && due && ok; ++t) {
        const QString table = QLatin1String(eventKinds()[std::size_t(t)].table);
        const bool summarised = summaries.contains(table);
        // Rows of the default partition are older than the cutoff only below the first partition that is kept.
        qint64 defaultCutoff = cutoff;
        for (const Range& range : m_ranges.at(t)) {
            if (range.end > cutoff) {
                defaultCutoff = std::min(cutoff, range.start);
                break;
            }
            const QString name = m_names.at(t).value(range.start);
            ok = run(pg, QStringLiteral("ALTER TABLE %1 DETACH PARTITION %2; DROP TABLE %2").arg(table, name));
            // The partition's hours go with it; an hour that it shares with a neighbour is counted again.
            ok = ok
                 && (!summarised
                     || run(pg, recountHoursSql(table, masterHourOf(range.start), masterHourOf(range.end - 1))));
            if (!ok)
                break;
            done << QStringLiteral("Dropped partition %1 of the master, its rows from %2 to %3, older than the "
                                   "retention of %4 days")
                        .arg(name, isoTime(range.start), isoTime(range.end))
                        .arg(retentionDays);
        }
        if (!ok || m_defaults.at(t).isEmpty())
            continue;
        // Through the table, pruned to the default partition, so that the summary's triggers see the delete.
        const PgConnection::Result result = pg.exec(
            QStringLiteral("DELETE FROM %1 WHERE time < %2").arg(table).arg(defaultCutoff).toUtf8(), {},
            PGRES_COMMAND_OK);
        if (!(ok = result != nullptr))
            break;
        const QByteArray deleted = PQcmdTuples(result.get());
        if (deleted != "0")
            done << QStringLiteral("Deleted %1 rows before %2 from %3 of the master, older than the retention of %4 days")
                        .arg(QString::fromLatin1(deleted), isoTime(cutoff), m_defaults.at(t))
                        .arg(retentionDays);
    }
    // The window goes beside the run, so that no forwarder sends rows again that the next run would drop.
    ok = ok
         && (!due
             || ((m_retentionColumn || run(pg, QStringLiteral("ALTER TABLE partitioning ADD COLUMN IF NOT EXISTS "
                                                              "retention_days integer")))
                 && run(pg, QStringLiteral("UPDATE partitioning SET retention_run = now(), retention_days = %1")
                                .arg(retentionDays))))
         && run(pg, QStringLiteral("COMMIT"));
    if (!ok) {
        pg.rollback();
        forgetPartitions();
        return false;
    }
    *reports << done;
    if (due) {
        m_retentionColumn = true;
        m_retentionDays = retentionDays;
    }
    return due ? readPartitions(pg) : true;
}

bool MasterPartitions::convert(PgConnection& pg, qint64 nowMs, QStringList* reports)
{
    bool ok = lockLayout(pg);
    const PgConnection::Result tables =
        ok ? pg.exec("SELECT t.name FROM unnest($1::text[]) WITH ORDINALITY AS t(name, n) "
                     "JOIN pg_class c ON c.oid = to_regclass(t.name) WHERE c.relkind = 'r' ORDER BY t.n",
                     {tableArray().toUtf8()}, PGRES_TUPLES_OK)
           : nullptr;
    ok = tables != nullptr;
    QStringList plain;
    for (int i = 0; ok && i < PQntuples(tables.get()); ++i)
        plain << QString::fromUtf8(PQgetvalue(tables.get(), i, 0));
    ok = ok && load(pg);
    // The partitions needed are those of the days that the rows have, within the reach of a forwarder's.
    for (const QString& table : qAsConst(plain)) {
        if (!ok)
            break;
        const QString old = table + QStringLiteral("_unpartitioned");
        ok = run(pg, QStringLiteral("LOCK TABLE %1 IN ACCESS EXCLUSIVE MODE; ALTER TABLE %1 RENAME TO %2; "
                                      "ALTER TABLE %2 RENAME CONSTRAINT %1_pkey TO %2_pkey; DROP INDEX IF EXISTS %1_at")
                                 .arg(table, old))
             && run(pg, partitionedTableSql(table, table));
        int index = 0;
        while (QLatin1String(eventKinds()[std::size_t(index)].table) != table)
            ++index;
        QVector<qint64> times;
        if (ok) {
            const QByteArray days =
                QStringLiteral("SELECT DISTINCT time - ((time % %1) + %1) % %1 FROM %2 WHERE time >= %3 AND time < %4")
                    .arg(m_partitionMs)
                    .arg(old)
                    .arg(nowMs - daysBack * dayMs)
                    .arg(nowMs + (daysAhead + 1) * dayMs)
                    .toUtf8();
            const PgConnection::Result starts = pg.exec(days, {}, PGRES_TUPLES_OK);
            ok = starts != nullptr;
            for (int i = 0; ok && i < PQntuples(starts.get()); ++i)
                times << QByteArray(PQgetvalue(starts.get(), i, 0)).toLongLong();
            for (int day = 0; day <= daysAhead; ++day)
                times << nowMs + day * dayMs;
        }
        ok = ok && readPartitions(pg);
        const QVector<Range> ranges = ok ? missing(index, times) : QVector<Range>();
        for (const Range& range : ranges) {
            if (!(ok = ok && create(pg, index, range)))
                break;
        }
        const QString columns = masterColumnList(table);
        const PgConnection::Result inserted =
            ok ? pg.exec(QStringLiteral("INSERT INTO %1 (%3) SELECT %3 FROM %2").arg(table, old, columns).toUtf8(), {},
                         PGRES_COMMAND_OK)
               : nullptr;
        if (!(ok = inserted != nullptr))
            break;
        const QString moved = QString::fromLatin1(PQcmdTuples(inserted.get()));
        ok = run(pg, QStringLiteral("DROP TABLE %1").arg(old));
        *reports << QStringLiteral("Converted table %1: %2 rows in %3 partitions and the default one")
                        .arg(table, moved)
                        .arg(m_ranges.at(index).size());
    }
    QStringList summaries;
    ok = ok && readSummaries(pg, summaries);
    for (const EventKind& kind : eventKinds()) {
        const QString table = QLatin1String(kind.table);
        if (!ok)
            break;
        if (summaries.contains(table))
            continue;
        // Writers wait for the commit: the new summary counts every row committed before, its triggers every later one.
        const QString summary = summaryTableName(table);
        ok = run(pg, QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(table))
             && run(pg, hourlySummarySql(table) + recountHoursSql(table, std::nullopt, std::nullopt));
        const PgConnection::Result counted =
            ok ? pg.exec(QStringLiteral("SELECT coalesce(sum(events), 0), count(*) FROM %1").arg(summary).toUtf8(), {},
                         PGRES_TUPLES_OK)
               : nullptr;
        if (!(ok = counted != nullptr))
            break;
        *reports << QStringLiteral("Made the hourly summary %1 of table %2: %3 rows in %4 hours of a source")
                        .arg(summary, table, QString::fromLatin1(PQgetvalue(counted.get(), 0, 0)),
                             QString::fromLatin1(PQgetvalue(counted.get(), 0, 1)));
    }
    ok = ok && run(pg, QStringLiteral("COMMIT"));
    if (!ok) {
        pg.rollback();
        reports->clear();
        return false;
    }
    return load(pg);
}

bool MasterPartitions::readSummaries(PgConnection& pg, QStringList& tables)
{
    QStringList summaries;
    for (const EventKind& kind : eventKinds())
        summaries << QString::fromStdString(masterSummaryTable(kind));
    const PgConnection::Result result =
        pg.exec("SELECT t.name FROM unnest($1::text[], $2::text[]) AS t(name, summary) "
                "WHERE to_regclass(t.summary) IS NOT NULL",
                {tableArray().toUtf8(),
                 (QLatin1Char('{') + summaries.join(QLatin1Char(',')) + QLatin1Char('}')).toUtf8()},
                PGRES_TUPLES_OK);
    if (!result)
        return false;
    tables.clear();
    for (int i = 0; i < PQntuples(result.get()); ++i)
        tables << QString::fromUtf8(PQgetvalue(result.get(), i, 0));
    return true;
}
