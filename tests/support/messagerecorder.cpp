#include "messagerecorder.h"

namespace {

QStringList recorded;

void record(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    static const char* const prefixes[] = {"Debug: ", "Warning: ", "Critical: ", "Fatal: ", "Info: "};
    recorded << QLatin1String(prefixes[type]) + message;
}

} // namespace

MessageRecorder::MessageRecorder()
    : m_previous(qInstallMessageHandler(record))
{
    recorded.clear();
}

MessageRecorder::~MessageRecorder()
{
    qInstallMessageHandler(m_previous);
}

QStringList MessageRecorder::lines() const
{
    return recorded;
}
