#ifndef COLLECTSTATE_H
#define COLLECTSTATE_H

#include <QByteArray>
#include <QSet>
#include <QString>

// What the collector has sent, kept across runs in its statefile so that nothing is sent twice: the journal
// cursor of the last entry handled, the boots whose reboot event was sent, and the boot whose hardware
// watchdog resets were sent. The file is a few lines of text that begin with a line of its own; it is
// replaced whole (a temporary file renamed over it, both made durable), so a crash leaves either the old
// or the new state.
class CollectState
{
public:
    explicit CollectState(const QString& path);
    ~CollectState();
    CollectState(const CollectState&) = delete;
    CollectState& operator=(const CollectState&) = delete;

    // Takes the file's lock, so that two collectors never send the same events, and reads the file; a missing
    // file is an empty state. False, with errorString(), when the lock is held, the file cannot be read or
    // is not a state file of this program, which is then left as it is.
    bool open();
    // Writes the state when it changed since the last save; false, with errorString(), when that failed (the
    // state stays in memory and the next save tries again).
    bool save();

    QByteArray cursor() const { return m_cursor; }
    void setCursor(const QByteArray& cursor);
    bool hasBoot(const QByteArray& bootId) const { return m_boots.contains(bootId); }
    void addBoot(const QByteArray& bootId);
    // Whether the hardware watchdog resets of the boot were sent; an empty ID stands for a boot not known.
    bool watchdogsSentFor(const QByteArray& bootId) const { return m_watchdogsSent && m_watchdogBoot == bootId; }
    void setWatchdogsSent(const QByteArray& bootId);

    QString path() const { return m_path; }
    QString errorString() const { return m_error; }

private:
    bool parse(const QByteArray& text);
    QByteArray serialize() const;

    QString m_path;
    QString m_error;
    int m_lockFd = -1;
    QByteArray m_cursor;
    QSet<QByteArray> m_boots;
    bool m_watchdogsSent = false;
    QByteArray m_watchdogBoot;
    bool m_dirty = false;
};

#endif
