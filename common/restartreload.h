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
    // that says what the reload does.
    Outcome check(const std::function<QStringList(const QString& configPath)>& load);

    // Replaces the program by a new start of itself. Returns only when that failed, with the failure written.
    static void restart(char** argv);

private:
    QString m_path;
    QByteArray m_contents;
};

#endif
