#ifndef STATUSREPORT_H
#define STATUSREPORT_H

#include "metricsfile.h"

#include <QString>
#include <QVector>

struct DaemonCounters;

// The counters as one line, in the order of their declaration: "datagrams received 3, undecodable 0, ...".
QString countersSummary(const DaemonCounters& counters);

// The counters as metrics, one family each, in the order of their declaration.
QVector<Metric> counterMetrics(const DaemonCounters& counters);

// The line that SIGUSR1 writes, whatever the verbosity.
void writeCounters(const DaemonCounters& counters);

// The lines of a stop: the held rows that could not be stored, whatever the verbosity, and the counters at -d.
void writeStopReport(const DaemonCounters& counters, quint64 rowsNotStored);

#endif
