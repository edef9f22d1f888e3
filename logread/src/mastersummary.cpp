#include "mastersummary.h"

namespace {

// The statement of both builders: per key, the count (and with stats, the first and the last time) over the union
// of the summary's whole hours and the rows of the edges. Without a grouping, the figures of --stats per host.
BuiltQuery summaryQuery(const TableQuery& query, const Grouping* grouping)
{
    const SqlDialect dialect = postgresDialect();
    const EventTable& table = eventTables()[static_cast<size_t>(query.table)];
    const HourSplit split = splitByHours(query.since, query.until);
    const bool byInterval = grouping && grouping->column.isEmpty();
    const QString host = dialect.originColumns.constFirst();
    BuiltQuery built;
    const auto bind = [&built, &dialect](const QVariant& value) {
        built.values << value;
        return dialect.placeholder(built.values.size());
    };
    QStringList parts;
    if (split.wholeHours) {
        const QString key = byInterval ? QStringLiteral("(hour - %1) / %2")
                                             .arg(bind(qlonglong(masterHourOf(grouping->originMs))),
                                                  bind(qlonglong(grouping->intervalMs / masterHourMs)))
                                       : host;
        TableQuery hours = query;
        hours.since.reset();
        hours.until.reset();
        QStringList conditions;
        const QString where = buildWhereClause(hours, dialect, built.values);
        if (!where.isEmpty())
            conditions << where.mid(QStringLiteral(" WHERE ").size());
        if (split.firstHour)
            conditions << QStringLiteral("hour >= ") + bind(qlonglong(*split.firstHour));
        if (split.lastHour)
            conditions << QStringLiteral("hour <= ") + bind(qlonglong(*split.lastHour));
        const QString figures = grouping ? QStringLiteral("sum(events)")
                                         : QStringLiteral("sum(events), min(first_time), max(last_time)");
        parts << QStringLiteral("SELECT %1, %2 FROM \"%3\"%4 GROUP BY 1")
                     .arg(key, figures, QString::fromStdString(masterSummaryTable(table)),
                          conditions.isEmpty() ? QString()
                                               : QStringLiteral(" WHERE ") + conditions.join(QLatin1String(" AND ")));
    }
    const QString time = dialect.column(QStringLiteral("time"));
    for (const auto& [first, last] : split.edges) {
        const QString key = byInterval ? QStringLiteral("(%1 - %2) / %3")
                                             .arg(time, bind(qlonglong(grouping->originMs)),
                                                  bind(qlonglong(grouping->intervalMs)))
                                       : host;
        const QString figures =
            grouping ? QStringLiteral("count(*)") : QStringLiteral("count(*), min(%1), max(%1)").arg(time);
        TableQuery rows = query;
        rows.since = first;
        rows.until = last;
        parts << QStringLiteral("SELECT %1, %2 FROM \"%3\"%4 GROUP BY 1")
                     .arg(key, figures, QLatin1String(table.table), buildWhereClause(rows, dialect, built.values));
    }
    built.sql = QStringLiteral("SELECT k, sum(n)::bigint%1 FROM (%2) AS s (k, n%3) GROUP BY k")
                    .arg(grouping ? QString() : QStringLiteral(", min(f), max(l)"),
                         parts.join(QLatin1String(" UNION ALL ")),
                         grouping ? QString() : QStringLiteral(", f, l"));
    if (!grouping)
        built.sql += QStringLiteral(" ORDER BY k COLLATE \"C\"");
    return built;
}

} // namespace

HourSplit splitByHours(std::optional<qint64> since, std::optional<qint64> until)
{
    HourSplit split;
    // The hour at an end of the window lies whole in it when the window begins (or ends) with that hour.
    std::optional<std::pair<qint64, qint64>> lowerEdge;
    std::optional<std::pair<qint64, qint64>> upperEdge;
    if (since) {
        const qint64 hour = masterHourOf(*since);
        const bool whole = masterHourStart(hour) == *since;
        split.firstHour = whole ? hour : hour + 1;
        if (!whole)
            lowerEdge = std::make_pair(*since, masterHourEnd(hour));
    }
    if (until) {
        const qint64 hour = masterHourOf(*until);
        const bool whole = masterHourEnd(hour) == *until;
        split.lastHour = whole ? hour : hour - 1;
        if (!whole)
            upperEdge = std::make_pair(masterHourStart(hour), *until);
    }
    split.wholeHours = !split.firstHour || !split.lastHour || *split.firstHour <= *split.lastHour;
    if (!split.wholeHours)
        split.edges.append({*since, *until});
    for (const auto& edge : {lowerEdge, upperEdge}) {
        if (split.wholeHours && edge)
            split.edges.append(*edge);
    }
    return split;
}

bool summaryAnswers(const TableQuery& query, const Grouping* grouping)
{
    if (query.after || query.afterRowId || query.lastRowId || query.afterKey || query.limit
        || !query.textFilter.isEmpty() || !query.matches.isEmpty())
        return false;
    if (!grouping || grouping->column == postgresDialect().originColumns.constFirst())
        return true;
    return grouping->column.isEmpty() && grouping->intervalMs > 0 && grouping->intervalMs % masterHourMs == 0
           && grouping->originMs % masterHourMs == 0;
}

BuiltQuery buildSummaryCountQuery(const TableQuery& query, const Grouping& grouping)
{
    return summaryQuery(query, &grouping);
}

BuiltQuery buildSummaryHostStatsQuery(const TableQuery& query)
{
    return summaryQuery(query, nullptr);
}
