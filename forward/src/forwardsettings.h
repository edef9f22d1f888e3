#ifndef FORWARDSETTINGS_H
#define FORWARDSETTINGS_H

#include <QString>
#include <QStringList>

// The forwarder's settings: the daemon's database path and the group "Master Database" of the same file.
struct ForwardSettings
{
    QString dbPath;
    QString conninfo;
    // The name the master shows for this source; the machine's host name unless the key host sets one.
    QString hostName;
    // The directory of the metrics files; empty when none is configured.
    QString metricsDir;
    int batchSize = 50000;
    int maxDelayMs = 1000;
    int maxRetryDelayMs = 60000;
    // The size in days of the partitions of a master that the forwarder creates.
    int partitionDays = 1;
    // Partitions of the master that ended more than this many days ago are dropped; 0 keeps every row.
    int retentionDays = 0;

    // Reads an INI file; absent keys keep the defaults. Problems come back one line each, empty when usable.
    QStringList load(const QString& fileName);
};

#endif
