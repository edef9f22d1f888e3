#include "statusreport.h"

#include "daemoncounters.h"
#include "programmessagehandler.h"

QString countersSummary(const DaemonCounters& counters)
{
    return QStringLiteral("datagrams received %1, undecodable %2, events stored %3, rows stored %4, rows failed %5, "
                          "rows held %6, rows lost %7, kernel drops %8, rows pruned %9")
        .arg(counters.datagramsReceived)
        .arg(counters.undecodable)
        .arg(counters.eventsStored)
        .arg(counters.rowsStored)
        .arg(counters.rowsFailed)
        .arg(counters.rowsHeld)
        .arg(counters.rowsLost)
        .arg(counters.kernelDrops)
        .arg(counters.rowsPruned);
}

QVector<Metric> counterMetrics(const DaemonCounters& counters)
{
    const auto counter = [](const char* name, const char* help, quint64 value) {
        return Metric{QByteArray("tevriksystemlog_") + name, help, Metric::Type::Counter, double(value)};
    };
    return {counter("datagrams_received_total", "Datagrams received.", counters.datagramsReceived),
            counter("datagrams_undecodable_total", "Datagrams that are no event.", counters.undecodable),
            counter("events_stored_total", "Events whose rows were all committed to the database.",
                    counters.eventsStored),
            counter("rows_stored_total", "Rows committed to the database, one per payload of an event.",
                    counters.rowsStored),
            counter("rows_failed_total", "Rows that the database refused by themselves; they are lost.",
                    counters.rowsFailed),
            Metric{"tevriksystemlog_rows_held", "Rows held in memory now, waiting for a retry.", Metric::Type::Gauge,
                   double(counters.rowsHeld)},
            counter("rows_lost_total",
                    "Rows lost for any cause: refused, beyond the held-row bound, held at the stop, or pruned by "
                    "maxsize before the master database had them.",
                    counters.rowsLost),
            counter("kernel_dropped_datagrams_total", "Datagrams the kernel dropped because the receive buffer was full.",
                    counters.kernelDrops),
            counter("rows_pruned_total", "Rows deleted by the retention limits.", counters.rowsPruned)};
}

void writeCounters(const DaemonCounters& counters)
{
    writeAlways(QtInfoMsg, QStringLiteral("Counters: ") + countersSummary(counters));
}

void writeStopReport(const DaemonCounters& counters, quint64 rowsNotStored)
{
    if (rowsNotStored > 0)
        writeAlways(QtCriticalMsg,
                    QStringLiteral("Stopping: %1 held rows could not be stored and are lost").arg(rowsNotStored));
    // An info line, shown from the verbosity at which critical lines are: the unit's -d puts it in the journal.
    if (debugLevel >= 1)
        writeAlways(QtInfoMsg, QStringLiteral("Counters at stop: ") + countersSummary(counters));
}
