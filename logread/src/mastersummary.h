#ifndef MASTERSUMMARY_H
#define MASTERSUMMARY_H

#include "eventquery.h"

#include <optional>
#include <utility>

// Counts on the master from the hourly summaries that its triggers keep: the hours that lie whole in the window come
// from the summary, the rest of the window (at most an hour at each end) from the rows through the time index.

// The hours that lie whole in a window of times, both ends included and open where not given, and the ranges of
// its times outside them.
struct HourSplit
{
    // Whether any hour may lie whole in the window: those from firstHour to lastHour, unbounded where not given.
    bool wholeHours = false;
    std::optional<qint64> firstHour;
    std::optional<qint64> lastHour;
    // The times of the window in no whole hour: at most two ranges, both ends included.
    QVector<std::pair<qint64, qint64>> edges;
};
HourSplit splitByHours(std::optional<qint64> since, std::optional<qint64> until);

// Whether the summary gives exactly what the query's rows give: no column matched, no positions, and a grouping (when
// given) by host name or by whole hours from the start of an hour.
bool summaryAnswers(const TableQuery& query, const Grouping* grouping);
// The statement of buildCountQuery, from the summary and the rows of the window's edges.
BuiltQuery buildSummaryCountQuery(const TableQuery& query, const Grouping& grouping);
// The statement of buildHostStatsQuery, likewise.
BuiltQuery buildSummaryHostStatsQuery(const TableQuery& query);

#endif
