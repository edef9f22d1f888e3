#ifndef EVENTQUERY_H
#define EVENTQUERY_H

#include "eventtables.h"

#include <QByteArray>
#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <array>
#include <optional>
#include <utility>

// One row of an event table as the reader prints it; texts as stored (UTF-8), recordNumber as its
// unsigned decimal value.
struct EventRow
{
    int table = -1;
    qint64 rowId = 0;
    qint64 time = 0;
    qint64 sentToMasterDB = 0;
    std::array<QByteArray, 5> values;
    // Where the row comes from when a store holds several sources: the host's name and the source's identity.
    QByteArray host;
    QByteArray source;
};

// A column that must equal one of the values (integers as qlonglong, texts as QString).
struct ColumnMatch
{
    QString column;
    QVariantList values;
};

inline std::array<bool, eventTableCount> everyTable()
{
    std::array<bool, eventTableCount> tables;
    tables.fill(true);
    return tables;
}

// Where a read of a store ends: per table, each source's highest rowID in the read's view, the key empty for a
// store of one source. RowIDs grow with each commit per table and source, so the rows after it are the new ones.
using StorePositions = std::array<QMap<QByteArray, qint64>, eventTableCount>;

// What the user selected, for all tables at once.
struct Selection
{
    // Every table until types are named.
    std::array<bool, eventTableCount> tables = everyTable();
    std::optional<qint64> since;
    std::optional<qint64> until;
    // Different columns must all match; the values of one column are alternatives.
    QVector<ColumnMatch> matches;
    // Applied to the text columns of each row by the reader; invalid when not given.
    QRegularExpression grep;
    // Only rows of these hosts, when a store holds several; any host when empty.
    QStringList hosts;
    // Only rows stored after these positions; a source that they do not name has all its rows after them.
    std::optional<StorePositions> after;

    bool hasGrep() const { return !grep.pattern().isEmpty(); }
    // Whether a table can hold rows of the selection: selected, and having every matched column.
    bool coversTable(int table) const;
    // Whether the table has the column: its own, one of every table, or the host of a store of many sources.
    static bool tableHasColumn(int table, const QString& column);
    // Whether one of the row's text columns matches the pattern; true without a pattern.
    bool grepMatches(const EventRow& row) const;
};

// The rows of one table that a store is asked for.
struct TableQuery
{
    enum class Order { TimeAscending, TimeDescending, RowIdAscending };

    TableQuery(int tableIndex, const Selection& selection, Order rowOrder);

    int table;
    Order order;
    std::optional<qint64> since;
    std::optional<qint64> until;
    std::optional<qint64> afterRowId;
    // Only rows up to this rowID, those committed before a read began.
    std::optional<qint64> lastRowId;
    // A page after the one that ended at this (time, rowID) in the query's time order; for a store of one source.
    std::optional<std::pair<qint64, qint64>> afterKey;
    // At most this many rows: a server then keeps only the first rows of its sort instead of sorting all.
    std::optional<qint64> limit;
    // Where the store finds the rows of a time window through a time map (SQLite; see eventmodel.h): the map's mark,
    // the last rowID that it covers; later rows are read directly. None for a table read through an index on time
    // or from a store without a map.
    std::optional<qint64> timeMapMark;
    QVector<ColumnMatch> matches;
    QStringList hosts;
    // Only rows after each source's rowID (the key empty for a store of one source), as Selection::after.
    std::optional<QMap<QByteArray, qint64>> after;
    // A PostgreSQL regular expression that one of the text columns of every row that the grep pattern matches
    // matches too: the server narrows the rows with it, the reader still applies the pattern itself.
    QString textFilter;
};

// A PostgreSQL regular expression implied by the pattern: its longest run of plain characters that every
// match contains, in either case when the pattern ignores case. Empty when the pattern promises no such run.
QString impliedTextFilter(const QRegularExpression& pattern);

// How a database writes the reader's statements.
struct SqlDialect
{
    // The n-th bound parameter, counted from 1.
    QString (*placeholder)(int index);
    // A column of the reader's tables by its local name: an identifier, or a constant for a column the
    // database does not keep.
    QString (*column)(const QString& name);
    // Selected after a table's columns (host name, then source identity); empty for a single source.
    QStringList originColumns;
    // The same columns as they order ties of time before rowID, bytewise like the reader's merge.
    QStringList originOrder;
    // Whether a text column may be narrowed by a regular expression (TableQuery::textFilter) on the server.
    bool filtersText;
};

// SQLite's dialect: ?1, ?2, ..., one source.
SqlDialect sqliteDialect();
// The master's dialect: $1, $2, ..., lower-case columns, every row forwarded, rows of many sources.
SqlDialect postgresDialect();

// A statement text and the values for its parameters, in order.
struct BuiltQuery
{
    QString sql;
    QVariantList values;
};

// What a statement reads the query's rows from, its values appended to values: the table, or where the store keeps a
// time map and the query asks for a time window, the rows of the map's entries over the window and the rows after the
// map's mark. The one form of a time window for every statement that reads a table.
QString rowSource(const TableQuery& query, const SqlDialect& dialect, QVariantList& values);

// What the rows of a count are grouped by: a column's values, or intervals of intervalMs from originMs.
struct Grouping
{
    QString column;
    qint64 originMs = 0;
    qint64 intervalMs = 0;
};

// SELECT rowID, time, sentToMasterDB, the table's columns and the origin columns, in the query's order.
BuiltQuery buildRowQuery(const TableQuery& query, const SqlDialect& dialect);
// Per host name, the count, min(time) and max(time) of the query's rows, the hosts in bytewise order.
BuiltQuery buildHostStatsQuery(const TableQuery& query, const SqlDialect& dialect);
// The master's rows of the query after a position per source, the row query's columns, ordered by source and
// rowID. The last four parameters are two pairs of sources (a uuid[] literal) and their positions (a bigint[]
// literal): the first those whose new rows are recent, the second those that may have delivered older ones.
BuiltQuery buildMasterFollowQuery(const TableQuery& query, const SqlDialect& dialect);
// Five statements of one value each over the query's rows: the count, the count with sentToMasterDB = 0,
// min(time), max(time) and min(time) with sentToMasterDB = 0. Apart, each takes its fastest way: the time index
// for the first, third and fourth.
QVector<BuiltQuery> buildStatsQueries(const TableQuery& query, const SqlDialect& dialect);
// Two statements of one value each, apart so that each takes the time index: min(time) and max(time).
QVector<BuiltQuery> buildTimeSpanQueries(const TableQuery& query, const SqlDialect& dialect);
// Per group, its key (the column's value, or the interval's number from the origin) and the count of the
// query's rows. The query's rows lie at or after the origin.
BuiltQuery buildCountQuery(const TableQuery& query, const Grouping& grouping, const SqlDialect& dialect);
// The statement of buildCountQuery for intervals through the time map (the query has its mark), or without a grouping
// one count (key 0) of the window: an entry that ends after the rowID horizon, before which entries may count rows
// that are gone, and whose times lie in the window and in one interval gives its count; the rows of the window's
// other entries and those after the mark are counted one by one. No group has a count of 0.
BuiltQuery buildMappedCountQuery(const TableQuery& query, const Grouping* grouping, qint64 horizon,
                                 const SqlDialect& dialect);
// SELECT what FROM the query's rows, the condition (when given) with the query's own.
BuiltQuery buildSelectQuery(const QString& what, const TableQuery& query, const SqlDialect& dialect,
                            const QString& condition = QString());
// The WHERE clause of the query's conditions as the builders write it, empty without any, its values appended to
// values: a part of a statement that has values before it.
QString buildWhereClause(const TableQuery& query, const SqlDialect& dialect, QVariantList& values);

#endif
