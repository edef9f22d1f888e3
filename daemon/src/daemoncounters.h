#ifndef DAEMONCOUNTERS_H
#define DAEMONCOUNTERS_H

#include <QtGlobal>

// What the daemon received, stored and lost since it started: one instance per process,
// counted by the listener, the store and the pruner, read by the reports.
struct DaemonCounters
{
    quint64 datagramsReceived = 0;
    quint64 undecodable = 0;
    // Events whose rows are all committed (the last of them; an event without payload at once), and the rows.
    quint64 eventsStored = 0;
    quint64 rowsStored = 0;
    // Rows that the database refused by themselves (a constraint, a trigger, a missing table); they are lost.
    quint64 rowsFailed = 0;
    // Rows held in memory now, waiting for a retry.
    quint64 rowsHeld = 0;
    // Every row lost for any cause: failed, past the held rows' bound, held at the stop, pruned before the master
    // database had it.
    quint64 rowsLost = 0;
    quint64 kernelDrops = 0;
    quint64 rowsPruned = 0;
};

DaemonCounters& daemonCounters();

#endif
