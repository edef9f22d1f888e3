#ifndef SIGNALWATCHER_H
#define SIGNALWATCHER_H

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal delivered by the event loop. The handler only writes the
// signal number to a pipe, which is async-signal-safe; everything else runs in the event loop.
// One watcher per signal; its destructor restores the default dispositions of its signals.
class SignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(const QList<int>& signalNumbers, QObject* parent = nullptr);
    ~SignalWatcher() override;

    // False when the pipe or a handler could not be set up; the signals then keep their default action.
    bool isWatching() const;
    // Whether the signal has arrived and waits for the event loop: a long wait outside the loop can end early.
    bool isCaught(int signalNumber) const;

signals:
    void caught(int signalNumber);

private slots:
    void readPipe();

private:
    QList<int> m_signalNumbers;
    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    bool m_watching = false;
};

#endif
