#include "statusreport.h"

#include "daemoncounters.h"
#include "programmessagehandler.h"

QString countersSummary(const DaemonCounters& counters)
{
    return QStringLiteral("datagrams received %1, undecodable %2, events stored %3, rows failed %4, rows held %5, "
                          "rows lost %6, kernel drops %7, rows pruned %8")
        .arg(counters.datagramsReceived)
        .arg(counters.undecodable)
        .arg(counters.eventsStored)
        .arg(counters.rowsFailed)
        .arg(counters.rowsHeld)
        .arg(counters.rowsLost)
        .arg(counters.kernelDrops)
        .arg(counters.rowsPruned);
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
