#ifndef EVENTQUERY_H
#define EVENTQUERY_H

#include "eventtables.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QVariantList>
#include <QVector>

#include <array>
#include <optional>

// One row of an event table as the reader prints it; texts as stored (UTF-8), recordNumber as its
// unsigned decimal value.
struct EventRow
{
    int table = -1;
    qint64 rowId = 0;
    qint64 time = 0;
    qint64 sentToMasterDB = 0;
    std::array<QByteArray, 5> values;
};

// A column that must equal one of the values (integers as qlonglong, texts as QString).
struct ColumnMatch
{
    QString column;
    QVariantList values;
};

// What the user selected, for all tables at once.
struct Selection
{
    std::array<bool, eventTableCount> tables{{true, true, true, true, true, true, true, true}};
    std::optional<qint64> since;
    std::optional<qint64> until;
    // Different columns must all match; the values of one column are alternatives.
    QVector<ColumnMatch> matches;
    // Applied to the text columns of each row by the reader; invalid when not given.
    QRegularExpression grep;

    bool hasGrep() const { return !grep.pattern().isEmpty(); }
    // Whether a table can hold rows of the selection: selected, and having every matched column.
    bool coversTable(int table) const;
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
    QVector<ColumnMatch> matches;
};

// How a SQL dialect writes the n-th bound parameter (counted from 1).
struct SqlDialect
{
    QString (*placeholder)(int index);
};

// SQLite's dialect: ?1, ?2, ...
SqlDialect sqliteDialect();

// A statement text and the values for its parameters, in order.
struct BuiltQuery
{
    QString sql;
    QVariantList values;
};

// SELECT rowID, time, sentToMasterDB and the table's columns, in the query's order.
BuiltQuery buildRowQuery(const TableQuery& query, const SqlDialect& dialect);
// Four statements of one value each over the query's rows: the count, the count with sentToMasterDB = 0,
// min(time) and max(time). Apart, each takes its fastest way: the time index for all but the second.
QVector<BuiltQuery> buildStatsQueries(const TableQuery& query, const SqlDialect& dialect);

#endif
