#ifndef MACHINEFACTS_H
#define MACHINEFACTS_H

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The machine's configuration as the collector reports it.
struct MachineSnapshot
{
    // "architecture: ...", "cpu: N x MODEL" and "memory: N kB", one a line.
    QString hardware;
    QString kernelRelease;
    // "name version architecture" a line, sorted.
    QStringList packages;
    // "MOUNT: N MiB free of M MiB" a line, in the order of the mounts.
    QString diskSpace;
    // The same without the free space, which changes all the time: what tells a changed configuration.
    QString diskSizes;

    bool sameConfiguration(const MachineSnapshot& other) const;
};

// A hardware watchdog that says it reset the machine.
struct WatchdogReset
{
    // "watchdog0 (iTCO_wdt)": the device and its identity.
    QString device;
};

// Reads the machine's facts from /proc, /sys, the package database and the file systems, all below root
// ("/" for the running machine). A source that cannot be read leaves its part empty and is reported in one
// warning, the first time only.
class MachineFacts
{
public:
    explicit MachineFacts(const QString& root);

    // The text of /proc/loadavg as it stands, without its line end; empty when unreadable.
    QString loadText();
    MachineSnapshot snapshot(const QStringList& mounts);
    // The watchdogs of /sys/class/watchdog whose bootstatus has the card-reset bit.
    QList<WatchdogReset> watchdogResets();
    // The ID of the running boot, as the journal writes it; empty when unknown.
    QByteArray bootId();

private:
    QString path(const QString& absolute) const;
    // The file's contents; a null array when it cannot be read, with a warning that names what stays empty
    // unless that is null.
    QByteArray readFile(const QString& absolute, const char* part);
    void warnOnce(const QString& source, const QString& message);
    QString hardware();
    QStringList packages();
    // The directory of the RPM database below the root; empty when there is none.
    QString rpmDatabase() const;
    QStringList dpkgPackages(const QString& statusFile);
    QStringList rpmPackages(const QString& dbPath);
    // The mount's free and total space, and its total alone; false when it cannot be read.
    bool diskSpace(const QString& mount, QString* withFree, QString* total);

    QString m_root;
    QSet<QString> m_warned;
};

#endif
