#ifndef RESTARTRELOAD_H
#define RESTARTRELOAD_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// SIGHUP for a program whose settings hold for its whole run: a changed file that loads is taken by ending the
// work as for a stop and starting again in the same process, with the same arguments, so that the service
// manager sees one process throughout; a file that does not load keeps the running settings.
class RestartReload
{
public:
    enum class Outcome { Unchanged, Refused, Restart };

    // Keeps the file's contents as the program read them at its start.
    explicit RestartReload(const QString& configPath);

    // Reads the file again with the program's own loader (its problems, none when it loads) and writes one line
    // that says what the reload does. After a Restart, the program ends its work as for a stop.
    Outcome check(const std::function<QStringList(const QString& configPath)>& load);

    // The program's exit status once its work has ended and every object of the run is gone: after a Restart,
    // the program is replaced by a new start of itself, and 1 means that this failed, with the failure written.
    int finish(int status, char** argv) const;

private:
    QString m_path;
    QByteArray m_contents;
    bool m_restart = false;
};

#endif
