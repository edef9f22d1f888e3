#ifndef MESSAGERECORDER_H
#define MESSAGERECORDER_H

#include <QStringList>
#include <QtGlobal>

// Collects the Qt messages of its lifetime, in order and formatted as the daemon writes them
// ("Debug: ...", "Critical: ..."), instead of letting the test log print them.
class MessageRecorder
{
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QStringList lines() const;

private:
    QtMessageHandler m_previous;
};

#endif
