#include "collector.h"

#include "collectstate.h"
#include "eventmodel.h"
#include "eventsender.h"
#include "programmessagehandler.h"
#include "tevrikdefaults.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSocketNotifier>

#include <climits>
#include <string>

namespace {

// systemd-coredump's entry of a process that dumped core.
const QByteArray coredumpId = QByteArrayLiteral("fc2e22bc6ee647b6b90729ab34a250b1");
// systemd's entry of a unit that failed, with its result in UNIT_RESULT.
const QByteArray unitFailedId = QByteArrayLiteral("d9b373ed55a64feb8242e02dbe79a49c");

// Journal entries handled in one turn of the event loop, so that a long backlog does not hold up a stop.
const int entriesPerTurn = 256;
const int retryIntervalMs = 1000;
// A look for journal changes that the change descriptor may not report (file systems without inotify).
const int journalPollMs = 5000;
// Reports kept in memory while the daemon is down: a day of loads at the default interval.
const int maxQueuedReports = 1440;

std::uint64_t nowMs()
{
    return std::uint64_t(QDateTime::currentMSecsSinceEpoch());
}

// An event of one kind with one text, through the event model as the sender builds it.
LogEvent textEvent(EventKindId kind, std::uint64_t timeMs, const QString& text)
{
    const std::string bytes = text.toStdString();
    EventValues values;
    values.time = timeMs;
    values.texts[0] = bytes;
    LogEvent event;
    eventKind(kind).fill(event, values);
    return event;
}

LogEvent configurationEventWith(const MachineSnapshot& snapshot, std::uint64_t timeMs, const QString& packages)
{
    const std::string texts[] = {snapshot.hardware.toStdString(), snapshot.kernelRelease.toStdString(),
                                 packages.toStdString(), std::string(tevrikVersion),
                                 snapshot.diskSpace.toStdString()};
    EventValues values;
    values.time = timeMs;
    for (std::size_t i = 0; i < std::size(texts); ++i)
        values.texts[i] = texts[i];
    LogEvent event;
    eventKind(EventKindId::MachineConfig).fill(event, values);
    return event;
}

QString packagesCut(const QStringList& packages, int kept)
{
    QStringList lines = packages.mid(0, kept);
    lines << QStringLiteral("%1 packages left out: the list does not fit in one datagram").arg(packages.size() - kept);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

Collector::Collector(const CollectSettings& settings, Journal& journal, CollectState& state, MachineFacts& facts,
                     EventSender& sender, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
    , m_journal(journal)
    , m_state(state)
    , m_facts(facts)
    , m_sender(sender)
{
    QList<QList<QByteArray>> terms;
    if (m_settings.coredumps)
        terms << QList<QByteArray>{"MESSAGE_ID=" + coredumpId};
    if (m_settings.watchdogs)
        terms << QList<QByteArray>{"MESSAGE_ID=" + unitFailedId, "UNIT_RESULT=watchdog"};
    m_journal.setMatches(terms);

    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(retryIntervalMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &Collector::pump);
    // One timer for the rest of a long pass, so that passes begun meanwhile do not pile up more turns.
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, &Collector::pump);
    connect(&m_loadTimer, &QTimer::timeout, this, [this] {
        queueLoad();
        pump();
    });
    connect(&m_configTimer, &QTimer::timeout, this, [this] {
        checkConfiguration(false);
        pump();
    });
    connect(&m_journalTimer, &QTimer::timeout, this, &Collector::readJournalChange);
}

LogEvent Collector::configurationEvent(const MachineSnapshot& snapshot, std::uint64_t timeMs, int* leftOut)
{
    const QStringList& packages = snapshot.packages;
    *leftOut = 0;
    LogEvent event = configurationEventWith(snapshot, timeMs, packages.join(QLatin1Char('\n')));
    if (event.ByteSizeLong() <= std::size_t(maxDatagramBytes) || packages.isEmpty())
        return event;
    // The most lines that fit with the closing line, found by halving: the size grows with the lines kept.
    int fits = 0;
    int tooMany = packages.size();
    while (tooMany - fits > 1) {
        const int kept = fits + (tooMany - fits) / 2;
        if (configurationEventWith(snapshot, timeMs, packagesCut(packages, kept)).ByteSizeLong()
            <= std::size_t(maxDatagramBytes))
            fits = kept;
        else
            tooMany = kept;
    }
    *leftOut = packages.size() - fits;
    return configurationEventWith(snapshot, timeMs, packagesCut(packages, fits));
}

void Collector::begin()
{
    if (m_settings.boots || m_settings.watchdogs) {
        if (!m_journal.readBoots(&m_boots))
            writeAlways(QtWarningMsg, m_journal.errorString());
        m_seekNeeded = true;
    }
    m_runningBoot = m_facts.bootId();
    if (m_runningBoot.isEmpty() && !m_boots.isEmpty())
        m_runningBoot = m_boots.last().id;
    for (const JournalBoot& boot : qAsConst(m_boots)) {
        if (boot.id == m_runningBoot)
            m_runningBootStartMs = boot.startMs;
    }
    if (m_settings.watchdogs || m_settings.boots)
        m_resets = m_facts.watchdogResets();
    if (m_settings.loadIntervalS > 0)
        queueLoad();
    checkConfiguration(true);
}

bool Collector::collectOnce()
{
    m_once = true;
    begin();
    pump();
    return !m_held;
}

void Collector::start()
{
    begin();
    if (m_settings.loadIntervalS > 0)
        m_loadTimer.start(m_settings.loadIntervalS * 1000);
    if (m_settings.configIntervalS > 0)
        m_configTimer.start(m_settings.configIntervalS * 1000);
    if (m_journal.changeDescriptor() >= 0) {
        m_journalNotifier = new QSocketNotifier(m_journal.changeDescriptor(), QSocketNotifier::Read, this);
        connect(m_journalNotifier, &QSocketNotifier::activated, this, &Collector::readJournalChange);
    }
    m_journalTimer.start(journalPollMs);
    pump();
}

void Collector::readJournalChange()
{
    m_journal.process();
    pump();
}

void Collector::pump()
{
    m_retryTimer.stop();
    if (m_bootsPending)
        m_bootsPending = !(sendBoots() && sendWatchdogResets());
    const Pass pass = m_bootsPending ? Pass::Held : sendJournalEntries(m_once ? INT_MAX : entriesPerTurn);
    if (pass == Pass::More) {
        m_nextTurn.start();
        return;
    }
    if ((pass == Pass::Held || !sendOutbox()) && !m_once)
        m_retryTimer.start();
}

bool Collector::deliver(const LogEvent& event)
{
    switch (m_sender.send(event)) {
    case SendResult::Sent:
        if (m_held) {
            m_held = false;
            writeAlways(QtInfoMsg, QStringLiteral("The daemon at %1 takes events again: sending from where it "
                                                  "stopped")
                                       .arg(m_sender.target()));
        }
        return true;
    case SendResult::Unsendable:
        writeAlways(QtWarningMsg, QStringLiteral("An event of %1 bytes cannot be sent in one datagram (%2): it is "
                                                 "left out")
                                      .arg(event.ByteSizeLong())
                                      .arg(m_sender.errorString()));
        return true;
    case SendResult::NotDelivered:
        break;
    }
    if (!m_held) {
        m_held = true;
        writeAlways(QtWarningMsg,
                    m_once ? QStringLiteral("The daemon at %1 does not take events (%2): the rest is sent by the "
                                            "next run")
                                 .arg(m_sender.target(), m_sender.errorString())
                           : QStringLiteral("The daemon at %1 does not take events (%2): they are kept and sent "
                                            "when it is back")
                                 .arg(m_sender.target(), m_sender.errorString()));
    }
    return false;
}

bool Collector::sendBoots()
{
    if (!m_settings.boots)
        return true;
    for (int i = 0; i < m_boots.size(); ++i) {
        const JournalBoot& boot = m_boots.at(i);
        if (m_state.hasBoot(boot.id))
            continue;
        QString issuer;
        // A watchdog reset tells how the boot before the running one ended, whatever its journal says.
        if (boot.id == m_runningBoot && !m_resets.isEmpty())
            issuer = QStringLiteral("watchdog reset by %1").arg(m_resets.first().device);
        else if (i == 0)
            issuer = QStringLiteral("first boot seen: no earlier boot in the journal");
        else if (m_boots.at(i - 1).shutdownRecorded)
            issuer = m_boots.at(i - 1).shutdownMessage.isEmpty()
                         ? QStringLiteral("orderly shutdown")
                         : QStringLiteral("orderly shutdown: %1").arg(m_boots.at(i - 1).shutdownMessage);
        else
            issuer = QStringLiteral("no shutdown recorded: a crash, a reset or a power loss");
        if (!deliver(textEvent(EventKindId::Reboot, boot.startMs, issuer)))
            return false;
        m_state.addBoot(boot.id);
        saveState();
    }
    return true;
}

bool Collector::sendWatchdogResets()
{
    if (!m_settings.watchdogs || m_state.watchdogsSentFor(m_runningBoot))
        return true;
    const std::uint64_t timeMs = m_runningBootStartMs ? m_runningBootStartMs : nowMs();
    for (; m_resetsSent < m_resets.size(); ++m_resetsSent) {
        if (!deliver(textEvent(EventKindId::WatchDog, timeMs, m_resets.at(m_resetsSent).device)))
            return false;
    }
    m_state.setWatchdogsSent(m_runningBoot);
    saveState();
    return true;
}

Collector::Pass Collector::sendJournalEntries(int limit)
{
    if (!m_settings.coredumps && !m_settings.watchdogs)
        return Pass::Done;
    if (m_seekNeeded) {
        if (m_journal.seekAfter(m_state.cursor()) == JournalStart::CursorGone)
            writeAlways(QtWarningMsg, QStringLiteral("The journal no longer holds the entry after which the "
                                                     "collector stopped (rotated or vacuumed): going on from its "
                                                     "oldest entry"));
        m_seekNeeded = false;
    }
    for (int handled = 0; handled < limit; ++handled) {
        if (!m_journal.next()) {
            if (!m_journal.errorString().isEmpty())
                qWarning() << m_journal.errorString();
            saveState();
            return Pass::Done;
        }
        const QByteArray cursor = m_journal.cursor();
        LogEvent event;
        if (entryEvent(&event)) {
            if (!deliver(event)) {
                m_seekNeeded = true;
                return Pass::Held;
            }
            m_state.setCursor(cursor);
            saveState();
        } else {
            m_state.setCursor(cursor);
        }
    }
    return Pass::More;
}

bool Collector::entryEvent(LogEvent* event) const
{
    const std::uint64_t entryMs = m_journal.realtimeUs() / 1000;
    if (m_journal.field("MESSAGE_ID") == coredumpId) {
        QString task = QString::fromUtf8(m_journal.field("COREDUMP_COMM"));
        if (task.isEmpty())
            task = QFileInfo(QString::fromUtf8(m_journal.field("COREDUMP_EXE"))).fileName();
        if (task.isEmpty()) {
            qDebug() << QStringLiteral("Skipping the core dump of journal entry %1: it has neither COREDUMP_COMM "
                                       "nor COREDUMP_EXE")
                            .arg(QString::fromUtf8(m_journal.cursor()));
            return false;
        }
        bool ok = false;
        const std::uint64_t crashUs = m_journal.field("COREDUMP_TIMESTAMP").toULongLong(&ok);
        qDebug() << QStringLiteral("Core dump of %1 (pid %2, signal %3)")
                        .arg(task, QString::fromUtf8(m_journal.field("COREDUMP_PID")),
                             QString::fromUtf8(m_journal.field("COREDUMP_SIGNAL")));
        *event = textEvent(EventKindId::CoreDump, ok ? crashUs / 1000 : entryMs, task);
        return true;
    }
    QByteArray unit = m_journal.field("UNIT");
    if (unit.isEmpty())
        unit = m_journal.field("USER_UNIT");
    if (unit.isEmpty()) {
        qDebug() << QStringLiteral("Skipping the watchdog kill of journal entry %1: it has neither UNIT nor "
                                   "USER_UNIT")
                        .arg(QString::fromUtf8(m_journal.cursor()));
        return false;
    }
    *event = textEvent(EventKindId::WatchDog, entryMs, QString::fromUtf8(unit));
    return true;
}

bool Collector::sendOutbox()
{
    while (!m_outbox.isEmpty()) {
        if (!deliver(m_outbox.first()))
            return false;
        m_outbox.removeFirst();
    }
    return true;
}

void Collector::queue(const LogEvent& event)
{
    if (m_outbox.size() >= maxQueuedReports) {
        m_outbox.removeFirst();
        qWarning() << QStringLiteral("The daemon has been away for %1 reports: the oldest is dropped")
                          .arg(maxQueuedReports);
    }
    m_outbox.append(event);
}

void Collector::queueLoad()
{
    const QString load = m_facts.loadText();
    if (!load.isEmpty())
        queue(textEvent(EventKindId::SystemLoad, nowMs(), load));
}

void Collector::checkConfiguration(bool atStart)
{
    MachineSnapshot snapshot = m_facts.snapshot(m_settings.mounts);
    if (!atStart && m_lastSnapshot && m_lastSnapshot->sameConfiguration(snapshot))
        return;
    int leftOut = 0;
    queue(configurationEvent(snapshot, nowMs(), &leftOut));
    if (leftOut > 0)
        writeAlways(QtWarningMsg, QStringLiteral("The package list does not fit in one datagram: %1 of %2 packages "
                                                 "are left out of the configuration")
                                      .arg(leftOut)
                                      .arg(snapshot.packages.size()));
    m_lastSnapshot = std::move(snapshot);
}

void Collector::saveState()
{
    if (m_state.save()) {
        if (m_stateFailing)
            writeAlways(QtInfoMsg, QStringLiteral("The statefile \"%1\" is written again").arg(m_state.path()));
        m_stateFailing = false;
        return;
    }
    if (!m_stateFailing)
        writeAlways(QtWarningMsg, QStringLiteral("%1: until it can be written, a restart sends the events since "
                                                 "then again")
                                      .arg(m_state.errorString()));
    m_stateFailing = true;
}
