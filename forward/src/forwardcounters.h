#ifndef FORWARDCOUNTERS_H
#define FORWARDCOUNTERS_H

#include "localstore.h"
#include "metricsfile.h"

#include <QVector>

// What the forwarder did since it started.
struct ForwarderCounters
{
    quint64 rowsSent = 0;
    // Rows that the master cannot take, marked sentToMasterDB = 2.
    quint64 rowsSetAside = 0;
    // Rows sent with texts altered so that the master takes them.
    quint64 rowsAltered = 0;
    // Rows marked sent that the master lacked (after a failover or a restore), sent again; not in rowsSent.
    quint64 rowsResent = 0;
};

// How far behind the master is, at one moment.
struct ForwarderStatus
{
    ForwarderCounters counters;
    WaitingRows waiting;
    bool masterConnected = false;
    // When the master last committed a batch, in milliseconds since the Unix epoch; 0 before the first.
    qint64 lastCommitMs = 0;
};

// The status as metrics: the counters, the rows waiting, the oldest one's age, the connection and the last commit.
QVector<Metric> forwarderMetrics(const ForwarderStatus& status, qint64 nowMs);

#endif
