#include "eventquery.h"

#include <functional>

namespace {

QString sqlitePlaceholder(int index)
{
    return QStringLiteral("?%1").arg(index);
}

QString sqliteColumn(const QString& name)
{
    return QLatin1Char('"') + name + QLatin1Char('"');
}

QString postgresPlaceholder(int index)
{
    return QStringLiteral("$%1").arg(index);
}

// The forwarder keeps the local columns in lower case and forwards only sent rows.
QString postgresColumn(const QString& name)
{
    if (name == QLatin1String("sentToMasterDB"))
        return QStringLiteral("1");
    return QLatin1Char('"') + name.toLower() + QLatin1Char('"');
}

QString tableName(const TableQuery& query)
{
    return QStringLiteral("\"%1\"").arg(QLatin1String(eventTables()[static_cast<size_t>(query.table)].table));
}

// The conditions on the time map's entries m of the query's table that may hold rows of its window.
QStringList windowEntries(const TableQuery& query, const std::function<QString(const QVariant&)>& bind)
{
    QStringList entries{QStringLiteral("m.tableName = '%1'")
                            .arg(QLatin1String(eventTables()[static_cast<size_t>(query.table)].table))};
    if (query.since)
        entries << QStringLiteral("m.bucket >= ") + bind(qlonglong(timeBucket(*query.since)));
    if (query.until)
        entries << QStringLiteral("m.bucket <= ") + bind(qlonglong(timeBucket(*query.until)));
    return entries;
}

// The time map's rows of a window: the entries of the window's buckets whose times meet it (and the condition, when
// given, holds for), each joined to its rows, up to the map's mark, then the rows after the mark. The entries' ranges
// apart give every row once.
QString mappedRows(const TableQuery& query, const SqlDialect& dialect, QVariantList& values,
                   const QString& entryCondition = QString())
{
    const auto bind = [&](const QVariant& value) {
        values << value;
        return dialect.placeholder(values.size());
    };
    QStringList entries = windowEntries(query, bind);
    QStringList mapped;
    QStringList after;
    if (query.since) {
        const QString since = bind(*query.since);
        entries << QStringLiteral("m.maxTime >= ") + since;
        mapped << QStringLiteral("t.time >= ") + since;
        after << QStringLiteral("time >= ") + since;
    }
    if (query.until) {
        const QString until = bind(*query.until);
        entries << QStringLiteral("m.minTime <= ") + until;
        mapped << QStringLiteral("t.time <= ") + until;
        after << QStringLiteral("time <= ") + until;
    }
    if (!entryCondition.isEmpty())
        entries << entryCondition;
    const QString mark = bind(*query.timeMapMark);
    mapped.prepend(QStringLiteral("t.rowID <= ") + mark);
    after.prepend(QStringLiteral("rowID > ") + mark);
    const QString table = tableName(query);
    return QStringLiteral("(SELECT t.* FROM %1 AS m CROSS JOIN %2 AS t ON %3 WHERE %4 AND %5 UNION ALL SELECT * FROM %2 "
                          "WHERE %6) AS %2")
        .arg(QLatin1String(timeMapTable), table, QLatin1String(timeMapMembership), entries.join(QLatin1String(" AND ")),
             mapped.join(QLatin1String(" AND ")), after.join(QLatin1String(" AND ")));
}

// rowID, time, sentToMasterDB, the table's columns and the origin columns.
QString selectList(const TableQuery& query, const SqlDialect& dialect)
{
    const EventTable& table = eventTables()[static_cast<size_t>(query.table)];
    QStringList columns{dialect.column(QStringLiteral("rowID")), dialect.column(QStringLiteral("time")),
                        dialect.column(QStringLiteral("sentToMasterDB"))};
    for (int c = 0; c < table.columnCount; ++c)
        columns << dialect.column(QLatin1String(table.columns[c].name));
    columns << dialect.originColumns;
    return columns.join(QLatin1String(", "));
}

QString orderClause(const TableQuery& query, const SqlDialect& dialect)
{
    QStringList keys;
    if (query.order != TableQuery::Order::RowIdAscending)
        keys << dialect.column(QStringLiteral("time"));
    keys << dialect.originOrder << dialect.column(QStringLiteral("rowID"));
    const QString separator =
        query.order == TableQuery::Order::TimeDescending ? QStringLiteral(" DESC, ") : QStringLiteral(", ");
    return QStringLiteral(" ORDER BY ") + keys.join(separator)
           + (query.order == TableQuery::Order::TimeDescending ? QStringLiteral(" DESC") : QString());
}

// The FROM clause of the query, its values appended to values. Rows after each source's position on the master
// come by one index range per source on the key (source, rowid, time), the table's name standing for them.
QString fromClause(const TableQuery& query, const SqlDialect& dialect, QVariantList& values)
{
    if (!query.after || dialect.originColumns.isEmpty())
        return QStringLiteral(" FROM ") + rowSource(query, dialect, values);
    QStringList sources;
    QStringList positions;
    for (auto it = query.after->cbegin(); it != query.after->cend(); ++it) {
        sources << QString::fromLatin1(it.key());
        positions << QString::number(it.value());
    }
    values << QLatin1Char('{') + sources.join(QLatin1Char(',')) + QLatin1Char('}')
           << QLatin1Char('{') + positions.join(QLatin1Char(',')) + QLatin1Char('}');
    return QStringLiteral(" FROM unnest(%1::uuid[], %2::bigint[]) AS k(src, after) CROSS JOIN LATERAL (SELECT * FROM "
                          "%3 AS p WHERE p.source = k.src AND p.rowid > k.after OFFSET 0) AS %3")
        .arg(dialect.placeholder(values.size() - 1), dialect.placeholder(values.size()), tableName(query));
}

// The WHERE clause of the query, its values appended to values.
QString whereClause(const TableQuery& query, const SqlDialect& dialect, QVariantList& values)
{
    QStringList conditions;
    const auto bind = [&](const QVariant& value) {
        values << value;
        return dialect.placeholder(values.size());
    };
    if (query.since)
        conditions << dialect.column(QStringLiteral("time")) + QStringLiteral(" >= ") + bind(*query.since);
    if (query.until)
        conditions << dialect.column(QStringLiteral("time")) + QStringLiteral(" <= ") + bind(*query.until);
    if (query.afterRowId)
        conditions << dialect.column(QStringLiteral("rowID")) + QStringLiteral(" > ") + bind(*query.afterRowId);
    if (query.after && dialect.originColumns.isEmpty())
        conditions << dialect.column(QStringLiteral("rowID")) + QStringLiteral(" > ")
                          + bind(query.after->value(QByteArray(), 0));
    if (query.lastRowId)
        conditions << dialect.column(QStringLiteral("rowID")) + QStringLiteral(" <= ") + bind(*query.lastRowId);
    if (query.afterKey && query.order != TableQuery::Order::RowIdAscending) {
        const QString time = bind(query.afterKey->first);
        conditions << QStringLiteral("(%1, %2) %3 (%4, %5)")
                          .arg(dialect.column(QStringLiteral("time")), dialect.column(QStringLiteral("rowID")),
                               query.order == TableQuery::Order::TimeDescending ? QStringLiteral("<")
                                                                                : QStringLiteral(">"),
                               time, bind(query.afterKey->second));
    }
    if (!query.hosts.isEmpty()) {
        QStringList alternatives;
        for (const QString& host : query.hosts)
            alternatives << dialect.originColumns.constFirst() + QStringLiteral(" = ") + bind(host);
        conditions << QLatin1Char('(') + alternatives.join(QLatin1String(" OR ")) + QLatin1Char(')');
    }
    if (!query.textFilter.isEmpty() && dialect.filtersText) {
        const QString pattern = bind(query.textFilter);
        const EventTable& table = eventTables()[static_cast<size_t>(query.table)];
        QStringList alternatives;
        for (int c = 0; c < table.columnCount; ++c) {
            if (table.columns[c].storage == Storage::Text)
                alternatives << dialect.column(QLatin1String(table.columns[c].name)) + QStringLiteral(" ~ ") + pattern;
        }
        conditions << QLatin1Char('(') + alternatives.join(QLatin1String(" OR ")) + QLatin1Char(')');
    }
    for (const ColumnMatch& match : query.matches) {
        QStringList alternatives;
        for (const QVariant& value : match.values)
            alternatives << dialect.column(match.column) + QStringLiteral(" = ") + bind(value);
        conditions << QLatin1Char('(') + alternatives.join(QLatin1String(" OR ")) + QLatin1Char(')');
    }
    return conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(QLatin1String(" AND "));
}

// Characters that end a run of plain ones; after any of these the pattern promises no run at all.
const QString runBreaks = QStringLiteral(".^$*+?{}");
const QString unparsed = QStringLiteral("|()[]\\");

} // namespace

QString impliedTextFilter(const QRegularExpression& pattern)
{
    const QString text = pattern.pattern();
    const bool ignoreCase = pattern.patternOptions() & QRegularExpression::CaseInsensitiveOption;
    if (std::any_of(text.cbegin(), text.cend(), [](QChar c) { return unparsed.contains(c); }))
        return QString();
    QString best;
    QString run;
    for (int i = 0; i <= text.size(); ++i) {
        const QChar c = i < text.size() ? text.at(i) : QChar();
        // Without case, only ASCII has a case that is known here for certain.
        const bool plain = i < text.size() && !runBreaks.contains(c) && (!ignoreCase || c.unicode() < 0x80);
        const bool optional = i + 1 < text.size() && QStringLiteral("*?{").contains(text.at(i + 1));
        if (plain && !optional) {
            run += c;
            continue;
        }
        if (run.size() > best.size())
            best = run;
        run.clear();
    }
    if (best.size() < 3)
        return QString();
    QString filter;
    for (const QChar c : qAsConst(best)) {
        if (ignoreCase && c.isLetter()) {
            // The characters that a caseless match takes for an ASCII letter: its two cases, and the Kelvin
            // sign and the long s besides.
            filter += QLatin1Char('[') + c.toLower() + c.toUpper();
            if (c.toLower() == QLatin1Char('k'))
                filter += QChar(0x212A);
            if (c.toLower() == QLatin1Char('s'))
                filter += QChar(0x017F);
            filter += QLatin1Char(']');
        } else if (c.unicode() < 0x80 && !c.isLetterOrNumber()) {
            filter += QLatin1Char('\\') + c;
        } else {
            filter += c;
        }
    }
    return filter;
}

bool Selection::tableHasColumn(int table, const QString& column)
{
    if (column == QLatin1String("time") || column == QLatin1String("rowID")
        || column == QLatin1String("sentToMasterDB") || column == QLatin1String("hostname"))
        return true;
    const EventTable& columns = eventTables()[static_cast<size_t>(table)];
    for (int c = 0; c < columns.columnCount; ++c) {
        if (column == QLatin1String(columns.columns[c].name))
            return true;
    }
    return false;
}

bool Selection::coversTable(int table) const
{
    if (!tables[static_cast<size_t>(table)])
        return false;
    return std::all_of(matches.cbegin(), matches.cend(),
                       [table](const ColumnMatch& match) { return tableHasColumn(table, match.column); });
}

bool Selection::grepMatches(const EventRow& row) const
{
    if (!hasGrep())
        return true;
    const EventTable& table = eventTables()[static_cast<size_t>(row.table)];
    for (int c = 0; c < table.columnCount; ++c) {
        if (!(table.columns[c].storage == Storage::Integer)
            && grep.match(QString::fromUtf8(row.values[static_cast<size_t>(c)].constData(),
                                            row.values[static_cast<size_t>(c)].size()))
                   .hasMatch())
            return true;
    }
    return false;
}

TableQuery::TableQuery(int tableIndex, const Selection& selection, Order rowOrder)
    : table(tableIndex)
    , order(rowOrder)
    , since(selection.since)
    , until(selection.until)
    , matches(selection.matches)
    , hosts(selection.hosts)
    , textFilter(selection.hasGrep() ? impliedTextFilter(selection.grep) : QString())
{
    if (selection.after)
        after = (*selection.after)[static_cast<size_t>(tableIndex)];
}

QString rowSource(const TableQuery& query, const SqlDialect& dialect, QVariantList& values)
{
    // The rows after a follower's cursor are a short range of rowIDs, read directly.
    if (query.timeMapMark && (query.since || query.until) && !query.afterRowId)
        return mappedRows(query, dialect, values);
    return tableName(query);
}

BuiltQuery buildSelectQuery(const QString& what, const TableQuery& query, const SqlDialect& dialect,
                            const QString& condition)
{
    BuiltQuery built;
    built.sql = QStringLiteral("SELECT ") + what + fromClause(query, dialect, built.values);
    const QString where = whereClause(query, dialect, built.values);
    built.sql += where;
    if (!condition.isEmpty())
        built.sql += (where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ")) + condition;
    return built;
}

SqlDialect sqliteDialect()
{
    return SqlDialect{sqlitePlaceholder, sqliteColumn, {}, {}, false};
}

SqlDialect postgresDialect()
{
    return SqlDialect{postgresPlaceholder, postgresColumn, {QStringLiteral("hostname"), QStringLiteral("source")},
                      {QStringLiteral("hostname COLLATE \"C\""), QStringLiteral("source")}, true};
}

BuiltQuery buildRowQuery(const TableQuery& query, const SqlDialect& dialect)
{
    BuiltQuery built = buildSelectQuery(selectList(query, dialect), query, dialect);
    built.sql += orderClause(query, dialect);
    if (query.limit) {
        built.values << *query.limit;
        built.sql += QStringLiteral(" LIMIT ") + dialect.placeholder(built.values.size());
    }
    return built;
}

BuiltQuery buildHostStatsQuery(const TableQuery& query, const SqlDialect& dialect)
{
    const QString time = dialect.column(QStringLiteral("time"));
    const QString host = dialect.originColumns.constFirst();
    BuiltQuery built =
        buildSelectQuery(QStringLiteral("%1, count(*), min(%2), max(%2)").arg(host, time), query, dialect);
    built.sql += QStringLiteral(" GROUP BY %1 ORDER BY %2").arg(host, dialect.originOrder.constFirst());
    return built;
}

BuiltQuery buildMasterFollowQuery(const TableQuery& query, const SqlDialect& dialect)
{
    TableQuery rows = query;
    rows.order = TableQuery::Order::RowIdAscending;
    rows.afterRowId.reset();
    BuiltQuery built;
    QString where = whereClause(rows, dialect, built.values);
    where = where.isEmpty() ? QStringLiteral(" WHERE ") : where + QStringLiteral(" AND ");
    const int first = built.values.size() + 1;
    // One index range per source on the key (source, rowid, time) in each partition it reads. A forwarder marks a
    // source that delivers rows older than a day of the master's clock; the other sources' new rows are in the
    // partitions of the last two days, the margin covering a delivery in flight.
    const QString part = QStringLiteral("SELECT e.* FROM unnest(%1::uuid[], %2::bigint[]) AS k(src, after) "
                                        "CROSS JOIN LATERAL (SELECT ")
                         + selectList(rows, dialect) + QStringLiteral(" FROM ") + tableName(rows) + where
                         + QStringLiteral("source = k.src AND rowid > k.after%3 OFFSET 0) AS e");
    built.sql = QStringLiteral("SELECT e.* FROM (")
                + part.arg(dialect.placeholder(first), dialect.placeholder(first + 1),
                           QStringLiteral(" AND time >= (extract(epoch FROM now()) * 1000)::bigint - 172800000"))
                + QStringLiteral(" UNION ALL ")
                + part.arg(dialect.placeholder(first + 2), dialect.placeholder(first + 3), QString())
                + QStringLiteral(") AS e") + orderClause(rows, dialect);
    return built;
}

QVector<BuiltQuery> buildStatsQueries(const TableQuery& query, const SqlDialect& dialect)
{
    TableQuery unsent = query;
    unsent.matches.append(ColumnMatch{QStringLiteral("sentToMasterDB"), {qlonglong(0)}});
    const QVector<BuiltQuery> span = buildTimeSpanQueries(query, dialect);
    return {buildSelectQuery(QStringLiteral("count(*)"), query, dialect),
            buildSelectQuery(QStringLiteral("count(*)"), unsent, dialect), span.at(0), span.at(1),
            buildSelectQuery(QStringLiteral("min(time)"), unsent, dialect)};
}

QVector<BuiltQuery> buildTimeSpanQueries(const TableQuery& query, const SqlDialect& dialect)
{
    return {buildSelectQuery(QStringLiteral("min(time)"), query, dialect),
            buildSelectQuery(QStringLiteral("max(time)"), query, dialect)};
}

BuiltQuery buildCountQuery(const TableQuery& query, const Grouping& grouping, const SqlDialect& dialect)
{
    BuiltQuery built;
    QString key = dialect.column(grouping.column);
    if (grouping.column.isEmpty()) {
        // Bound first: the select list comes before the FROM and WHERE clauses.
        built.values << grouping.originMs << grouping.intervalMs;
        key = QStringLiteral("(%1 - %2) / %3")
                  .arg(dialect.column(QStringLiteral("time")), dialect.placeholder(1), dialect.placeholder(2));
    }
    built.sql = QStringLiteral("SELECT %1 AS k, count(*)").arg(key) + fromClause(query, dialect, built.values);
    built.sql += whereClause(query, dialect, built.values) + QStringLiteral(" GROUP BY k");
    return built;
}

QString buildWhereClause(const TableQuery& query, const SqlDialect& dialect, QVariantList& values)
{
    return whereClause(query, dialect, values);
}

BuiltQuery buildMappedCountQuery(const TableQuery& query, const Grouping* grouping, qint64 horizon,
                                 const SqlDialect& dialect)
{
    BuiltQuery built;
    const auto bind = [&](const QVariant& value) {
        built.values << value;
        return dialect.placeholder(built.values.size());
    };
    const QString origin = grouping ? bind(grouping->originMs) : QString();
    const QString interval = grouping ? bind(grouping->intervalMs) : QString();
    const auto key = [&](const QString& time) {
        return grouping ? QStringLiteral("(%1 - %2) / %3").arg(time, origin, interval) : QStringLiteral("0");
    };
    // An entry counts whole when its count is exact and its times lie in the window and in one interval.
    QStringList whole{QStringLiteral("m.lastRowID > ") + bind(horizon)};
    if (grouping)
        whole << key(QStringLiteral("m.minTime")) + QStringLiteral(" = ") + key(QStringLiteral("m.maxTime"));
    if (query.since)
        whole << QStringLiteral("m.minTime >= ") + bind(*query.since);
    if (query.until)
        whole << QStringLiteral("m.maxTime <= ") + bind(*query.until);
    const QString wholeEntry = whole.join(QLatin1String(" AND "));
    built.sql = QStringLiteral("SELECT k, sum(n) FROM (SELECT %1 AS k, m.rowCount AS n FROM %2 AS m WHERE %3 AND %4 "
                               "UNION ALL SELECT %5 AS k, 1 AS n FROM ")
                    .arg(key(QStringLiteral("m.minTime")), QLatin1String(timeMapTable),
                         windowEntries(query, bind).join(QLatin1String(" AND ")), wholeEntry,
                         key(dialect.column(QStringLiteral("time"))));
    built.sql += mappedRows(query, dialect, built.values, QStringLiteral("NOT (") + wholeEntry + QLatin1Char(')'));
    built.sql += whereClause(query, dialect, built.values) + QStringLiteral(") GROUP BY k");
    return built;
}
