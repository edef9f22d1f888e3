#include "eventquery.h"

namespace {

bool tableHasColumn(const EventTable& table, const QString& column)
{
    if (column == QLatin1String("time") || column == QLatin1String("rowID")
        || column == QLatin1String("sentToMasterDB"))
        return true;
    for (int c = 0; c < table.columnCount; ++c) {
        if (column == QLatin1String(table.columns[c].name))
            return true;
    }
    return false;
}

QString sqlitePlaceholder(int index)
{
    return QStringLiteral("?%1").arg(index);
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
        conditions << QStringLiteral("time >= ") + bind(*query.since);
    if (query.until)
        conditions << QStringLiteral("time <= ") + bind(*query.until);
    if (query.afterRowId)
        conditions << QStringLiteral("rowID > ") + bind(*query.afterRowId);
    for (const ColumnMatch& match : query.matches) {
        QStringList alternatives;
        for (const QVariant& value : match.values)
            alternatives << QStringLiteral("\"%1\" = ").arg(match.column) + bind(value);
        conditions << QLatin1Char('(') + alternatives.join(QLatin1String(" OR ")) + QLatin1Char(')');
    }
    return conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(QLatin1String(" AND "));
}

} // namespace

bool Selection::coversTable(int table) const
{
    if (!tables[static_cast<size_t>(table)])
        return false;
    for (const ColumnMatch& match : matches) {
        if (!tableHasColumn(eventTables()[static_cast<size_t>(table)], match.column))
            return false;
    }
    return true;
}

bool Selection::grepMatches(const EventRow& row) const
{
    if (!hasGrep())
        return true;
    const EventTable& table = eventTables()[static_cast<size_t>(row.table)];
    for (int c = 0; c < table.columnCount; ++c) {
        if (!table.columns[c].isUnsigned
            && grep.match(QString::fromUtf8(row.values[static_cast<size_t>(c)])).hasMatch())
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
{
}

SqlDialect sqliteDialect()
{
    return SqlDialect{sqlitePlaceholder};
}

BuiltQuery buildRowQuery(const TableQuery& query, const SqlDialect& dialect)
{
    const EventTable& table = eventTables()[static_cast<size_t>(query.table)];
    BuiltQuery built;
    built.sql = QStringLiteral("SELECT rowID, time, sentToMasterDB");
    for (int c = 0; c < table.columnCount; ++c)
        built.sql += QStringLiteral(", \"%1\"").arg(QLatin1String(table.columns[c].name));
    built.sql += QStringLiteral(" FROM \"%1\"").arg(QLatin1String(table.table));
    built.sql += whereClause(query, dialect, built.values);
    switch (query.order) {
    case TableQuery::Order::TimeAscending:
        built.sql += QStringLiteral(" ORDER BY time, rowID");
        break;
    case TableQuery::Order::TimeDescending:
        built.sql += QStringLiteral(" ORDER BY time DESC, rowID DESC");
        break;
    case TableQuery::Order::RowIdAscending:
        built.sql += QStringLiteral(" ORDER BY rowID");
        break;
    }
    return built;
}

QVector<BuiltQuery> buildStatsQueries(const TableQuery& query, const SqlDialect& dialect)
{
    const QString from = QStringLiteral(" FROM \"%1\"").arg(QLatin1String(eventTables()[static_cast<size_t>(query.table)].table));
    TableQuery unsent = query;
    unsent.matches.append(ColumnMatch{QStringLiteral("sentToMasterDB"), {qlonglong(0)}});
    QVector<BuiltQuery> built(4);
    built[0].sql = QStringLiteral("SELECT count(*)") + from + whereClause(query, dialect, built[0].values);
    built[1].sql = QStringLiteral("SELECT count(*)") + from + whereClause(unsent, dialect, built[1].values);
    built[2].sql = QStringLiteral("SELECT min(time)") + from + whereClause(query, dialect, built[2].values);
    built[3].sql = QStringLiteral("SELECT max(time)") + from + whereClause(query, dialect, built[3].values);
    return built;
}
