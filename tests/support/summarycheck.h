#ifndef SUMMARYCHECK_H
#define SUMMARYCHECK_H

#include <QString>
#include <QStringList>

class PgTestServer;

// Where the hourly summaries of a master database disagree with the rows of their tables, counted here with numeric
// arithmetic apart from the master's own: a line per hour, source and host that differs, and a line when there is
// no summary at all or the query fails; empty when every summary holds exactly its table's rows.
QStringList hourlySummaryDifferences(PgTestServer& server, const QString& database);

#endif
