#include "summarycheck.h"

#include "pgtestserver.h"

QStringList hourlySummaryDifferences(PgTestServer& server, const QString& database)
{
    const QStringList tables = server.query(QStringLiteral("SELECT relname FROM pg_class WHERE relkind IN ('r', 'p') "
                                                           "AND to_regclass(relname || '_hourly') IS NOT NULL ORDER BY 1"),
                                            database);
    if (!server.errorString().isEmpty())
        return {server.errorString()};
    if (tables.isEmpty())
        return {QStringLiteral("no hourly summary in %1").arg(database)};
    QStringList parts;
    for (const QString& table : tables)
        parts << QStringLiteral(
                     "SELECT format('%1 hour %s %s %s: summary %s, rows %s', hour, source, hostname, "
                     "s.events || '/' || s.first_time || '/' || s.last_time, "
                     "r.events || '/' || r.first_time || '/' || r.last_time) "
                     "FROM %1_hourly AS s FULL JOIN (SELECT floor(time::numeric / 3600000)::bigint AS hour, source, "
                     "hostname, count(*) AS events, min(time) AS first_time, max(time) AS last_time FROM %1 "
                     "GROUP BY 1, 2, 3) AS r USING (hour, source, hostname) "
                     "WHERE (s.events, s.first_time, s.last_time) IS DISTINCT FROM (r.events, r.first_time, r.last_time)")
                     .arg(table);
    QStringList differences = server.query(parts.join(QStringLiteral(" UNION ALL ")), database);
    if (!server.errorString().isEmpty())
        differences << server.errorString();
    return differences;
}
