#ifndef COLLECTOR_H
#define COLLECTOR_H

#include "collectsettings.h"
#include "journal.h"
#include "logmessage.pb.h"
#include "machinefacts.h"

#include <QList>
#include <QObject>
#include <QTimer>

#include <optional>

class CollectState;
class EventSender;
class QSocketNotifier;

// Collects the machine's own events and sends each to the daemon once, in this order: the reboots of the
// boots not yet sent, the hardware watchdog resets of the running boot, the journal's core dumps and
// service watchdog kills after the cursor, then the load and configuration reports waiting in memory.
// Sending stops at the first event that the daemon does not take and starts again from it; the statefile
// moves past an event only once it was sent.
class Collector : public QObject
{
    Q_OBJECT

public:
    Collector(const CollectSettings& settings, Journal& journal, CollectState& state, MachineFacts& facts,
              EventSender& sender, QObject* parent = nullptr);

    // Collects what is there now: the journal to its end, one load (unless loads are off) and one
    // configuration. True when the daemon took every event.
    bool collectOnce();
    // Collects now, then follows the journal and reports load and configuration on their intervals, until
    // the event loop ends.
    void start();

    // The largest datagram that UDP carries over IPv4.
    static constexpr int maxDatagramBytes = 65507;
    // The configuration event of a snapshot, its package list cut at a whole line to fit in one datagram.
    static LogEvent configurationEvent(const MachineSnapshot& snapshot, std::uint64_t timeMs, int* leftOut);

private:
    enum class Pass { Done, More, Held };

    void begin();
    void pump();
    bool sendBoots();
    bool sendWatchdogResets();
    Pass sendJournalEntries(int limit);
    bool sendOutbox();
    // Sends one event; false when the daemon did not take it, which is said once until it takes one again.
    bool deliver(const LogEvent& event);
    // The event of the current journal entry; false when it lacks a field it needs, with a debug line.
    bool entryEvent(LogEvent* event) const;
    void saveState();
    void queueLoad();
    void checkConfiguration(bool atStart);
    void queue(const LogEvent& event);
    void readJournalChange();

    const CollectSettings& m_settings;
    Journal& m_journal;
    CollectState& m_state;
    MachineFacts& m_facts;
    EventSender& m_sender;
    bool m_once = false;

    QList<JournalBoot> m_boots;
    // The running boot: the one that /proc names, else the journal's newest; empty when neither is known.
    QByteArray m_runningBoot;
    std::uint64_t m_runningBootStartMs = 0;
    QList<WatchdogReset> m_resets;
    int m_resetsSent = 0;
    bool m_bootsPending = true;
    // The journal's reading position is lost (after a refusal or a look at the boots): seek to the cursor.
    bool m_seekNeeded = true;
    QList<LogEvent> m_outbox;
    std::optional<MachineSnapshot> m_lastSnapshot;
    // Invariant: m_held is true from an event not delivered until the next one delivered.
    bool m_held = false;
    bool m_stateFailing = false;

    QTimer m_retryTimer;
    QTimer m_nextTurn;
    QTimer m_loadTimer;
    QTimer m_configTimer;
    QTimer m_journalTimer;
    QSocketNotifier* m_journalNotifier = nullptr;
};

#endif
