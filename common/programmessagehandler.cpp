#include "programmessagehandler.h"

#include <QDebug>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

quint8 debugLevel = 0;

namespace {

// The text as the debug stream writes a streamed QString: in double quotes, with escapes.
QString quotedForDiagnostic(const QString& text)
{
    QString quoted;
    QDebug(&quoted).nospace() << text;
    return quoted;
}

// systemd names the stream that it connects to standard error in JOURNAL_STREAM as "device:inode".
bool stderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char extra = 0;
    struct stat info = {};
    return stream && std::sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) == 2
           && ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

// "<N>" for the journal, which then stores the line with syslog priority N; nothing on a terminal, pipe or file.
const char* priorityPrefix(int priority)
{
    static const bool journal = stderrIsJournal();
    static const char* const prefixes[] = {"<0>", "<1>", "<2>", "<3>", "<4>", "<5>", "<6>", "<7>"};
    return journal ? prefixes[priority] : "";
}

} // namespace

void programMessageHandler(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message)
{
    const std::string text = message.toStdString();
    switch (type) {
    case QtDebugMsg:
        if (debugLevel >= 3)
            std::fprintf(stderr, "%sDebug: %s\n", priorityPrefix(LOG_DEBUG), text.c_str());
        break;
    case QtWarningMsg:
        if (debugLevel >= 2)
            std::fprintf(stderr, "%sWarning: %s\n", priorityPrefix(LOG_WARNING), text.c_str());
        break;
    case QtCriticalMsg:
        if (debugLevel >= 1)
            std::fprintf(stderr, "%sCritical: %s\n", priorityPrefix(LOG_CRIT), text.c_str());
        break;
    case QtFatalMsg:
        std::fprintf(stderr, "%sFatal: %s\n", priorityPrefix(LOG_CRIT), text.c_str());
        std::abort();
    case QtInfoMsg:
        break;
    }
}

void writeError(const QString& message)
{
    std::fprintf(stderr, "%sError: %s\n", priorityPrefix(LOG_ERR), message.toStdString().c_str());
}

void writeAlways(QtMsgType type, const QString& message)
{
    const char* kind = "Info";
    int priority = LOG_INFO;
    switch (type) {
    case QtDebugMsg:
        kind = "Debug";
        priority = LOG_DEBUG;
        break;
    case QtWarningMsg:
        kind = "Warning";
        priority = LOG_WARNING;
        break;
    case QtCriticalMsg:
        kind = "Critical";
        priority = LOG_CRIT;
        break;
    case QtFatalMsg:
        kind = "Fatal";
        priority = LOG_CRIT;
        break;
    case QtInfoMsg:
        break;
    }
    std::fprintf(stderr, "%s%s: %s\n", priorityPrefix(priority), kind,
                 quotedForDiagnostic(message).toStdString().c_str());
}

void exitOnInputError(const QString& message)
{
    std::fprintf(stderr, "%sFatal: %s\n", priorityPrefix(LOG_CRIT), quotedForDiagnostic(message).toStdString().c_str());
    std::fflush(stdout);
    std::exit(1);
}
