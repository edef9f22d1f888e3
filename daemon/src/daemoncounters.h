#ifndef DAEMONCOUNTERS_H
#define DAEMONCOUNTERS_H

#include <QtGlobal>

// What the daemon received, stored and lost since it started: one instance per process,
// counted by the listener, the store and the pruner, read by the reports.
struct DaemonCounters
{
    quint64 datagramsReceived = 0;
    quint64 undecodable = 0;
    quint64 eventsStored = 0;
    quint64 rowsFailed = 0;
    // Rows held in memory now, waiting for a retry.
    quint64 rowsHeld = 0;
    quint64 rowsLost = 0;
    quint64 kernelDrops = 0;
    quint64 rowsPruned = 0;
};

DaemonCounters& daemonCounters();

#endif
