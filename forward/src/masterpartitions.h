#ifndef MASTERPARTITIONS_H
#define MASTERPARTITIONS_H

#include "localstore.h"
#include "masterschema.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

class PgConnection;

// The partitions of the master's event tables as a forwarder sees them, and the work on them: making those
// that a batch needs, dropping those past the retention, converting a master made without partitions.
// Every change happens under the layout's advisory lock, so that forwarders starting together agree.
class MasterPartitions
{
public:
    // The days ahead of today whose partitions are made in advance, and how far back a row's time may lie for
    // its day to get a partition of its own rather than the default partition.
    static constexpr int daysAhead = 3;
    static constexpr int daysBack = 366;


    // Reads whether the tables are partitioned, the partitions' size and the partitions there are.
    bool load(PgConnection& pg);
    bool isPartitioned() const { return m_partitioned; }
    // The days of the retention that the master's forwarders ran within the last day, 0 when none did.
    int retentionDays() const { return m_retentionDays; }
    // Makes the partitions that the rows need, and those of the days ahead of nowMs; rows of such a day waiting in
    // the default partition move into the new one. Does nothing while every partition needed is known.
    bool prepare(PgConnection& pg, const QVector<TableBatch>& batches, qint64 nowMs);
    // Unless another forwarder holds the lock or the master ran it less than an hour ago: drops whole every
    // partition that ended more than retentionDays before nowMs and deletes such rows of the default partitions;
    // the summaries lose their hours. One line per drop in reports.
    bool applyRetention(PgConnection& pg, int retentionDays, qint64 nowMs, QStringList* reports);
    // Moves the rows of every table without partitions into a partitioned table of the same name, and makes the
    // hourly summary of every table without one from its rows, in one transaction; one line per table in reports.
    bool convert(PgConnection& pg, qint64 nowMs, QStringList* reports);


private:
    struct Range
    {
        qint64 start;
        qint64 end;
    };
    // The ranges to make in one table so that every time is in a partition, clipped to the gaps between those there.
    QVector<Range> missing(int table, const QVector<qint64>& times) const;
    bool readPartitions(PgConnection& pg);
    // The event tables that have their hourly summary.
    bool readSummaries(PgConnection& pg, QStringList& tables);
    bool create(PgConnection& pg, int table, const Range& range);
    bool run(PgConnection& pg, const QString& sql);
    // Opens a transaction that holds the layout's lock.
    bool lockLayout(PgConnection& pg);
    // After a transaction that failed: what it seemed to make is not there, so the partitions are read again
    // under the lock when one is next needed.
    void forgetPartitions();

    bool m_partitioned = false;
    int m_retentionDays = 0;
    // Whether partitioning has its column retention_days, which masters made by earlier versions lack.
    bool m_retentionColumn = false;
    qint64 m_partitionMs = dayMs;
    // Per table, the partitions by their start and the name of the default partition.
    QVector<QMap<qint64, Range>> m_ranges;
    QVector<QMap<qint64, QString>> m_names;
    QStringList m_defaults;
};

#endif
