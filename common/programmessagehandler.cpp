#include "programmessagehandler.h"

#include <QDebug>

#include <cstdio>
#include <cstdlib>
#include <string>

quint8 debugLevel = 0;

namespace {

// The text as the debug stream writes a streamed QString: in double quotes, with escapes.
QString quotedForDiagnostic(const QString& text)
{
    QString quoted;
    QDebug(&quoted).nospace() << text;
    return quoted;
}

} // namespace

void programMessageHandler(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message)
{
    const std::string text = message.toStdString();
    switch (type) {
    case QtDebugMsg:
        if (debugLevel >= 3)
            std::fprintf(stderr, "Debug: %s\n", text.c_str());
        break;
    case QtWarningMsg:
        if (debugLevel >= 2)
            std::fprintf(stderr, "Warning: %s\n", text.c_str());
        break;
    case QtCriticalMsg:
        if (debugLevel >= 1)
            std::fprintf(stderr, "Critical: %s\n", text.c_str());
        break;
    case QtFatalMsg:
        std::fprintf(stderr, "Fatal: %s\n", text.c_str());
        std::abort();
    case QtInfoMsg:
        break;
    }
}

void writeError(const QString& message)
{
    std::fprintf(stderr, "Error: %s\n", message.toStdString().c_str());
}

void writeAlways(QtMsgType type, const QString& message)
{
    const char* kind = "Info";
    switch (type) {
    case QtDebugMsg:
        kind = "Debug";
        break;
    case QtWarningMsg:
        kind = "Warning";
        break;
    case QtCriticalMsg:
        kind = "Critical";
        break;
    case QtFatalMsg:
        kind = "Fatal";
        break;
    case QtInfoMsg:
        break;
    }
    std::fprintf(stderr, "%s: %s\n", kind, quotedForDiagnostic(message).toStdString().c_str());
}

void exitOnInputError(const QString& message)
{
    std::fprintf(stderr, "Fatal: %s\n", quotedForDiagnostic(message).toStdString().c_str());
    std::fflush(stdout);
    std::exit(1);
}
