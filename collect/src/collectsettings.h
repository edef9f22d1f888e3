#ifndef COLLECTSETTINGS_H
#define COLLECTSETTINGS_H

#include <QHostAddress>
#include <QString>
#include <QStringList>

// The collector's settings: where the daemon listens, from "General Settings" of the daemon's file, and the
// group "Collect" of the same file.
struct CollectSettings
{
    // The daemon's address as a sender reaches it: a wildcard listen address stands for the loopback address.
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0;
    bool coredumps = true;
    bool boots = true;
    bool watchdogs = true;
    // Seconds between load reports; 0 sends none.
    int loadIntervalS = 60;
    // Seconds between looks for a changed configuration; 0 looks only at start.
    int configIntervalS = 3600;
    QStringList mounts{QStringLiteral("/")};
    QString stateFile;

    // Reads an INI file; absent keys keep the defaults. Problems come back one line each, empty when usable;
    // keys of "Collect" that it does not know come back in unknownKeys.
    QStringList load(const QString& fileName, QStringList* unknownKeys);
};

#endif
