#ifndef FORWARDER_H
#define FORWARDER_H

#include "forwardcounters.h"
#include "forwardsettings.h"
#include "localstore.h"
#include "masterclient.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <future>
#include <memory>

// Moves the local rows to the master batch by batch: a row is marked sent only after the master has
// committed it, so a crash at any point re-sends rows that the master then ignores.
class Forwarder : public QObject
{
    Q_OBJECT

public:
    explicit Forwarder(const ForwardSettings& settings, QObject* parent = nullptr);

    // Opens the local database; false with errorString() set.
    bool open();
    QString errorString() const { return m_local.errorString(); }
    // Asked while the master is waited for: true ends the wait, and the batch is sent again later.
    void setStopCheck(std::function<bool()> stopCheck) { m_stopCheck = std::move(stopCheck); }

    // Starts forwarding from the event loop.
    void start();
    // The counters and how far behind the master is now.
    ForwarderStatus status();

public slots:
    // One line: rows forwarded and altered for the master, rows waiting, the oldest waiting row's age, retries,
    // the last success.
    void reportHealth();
    // Marks what the master has already committed, then ends the event loop.
    void stop();

private slots:
    void step();

private:
    void masterLost();
    // Marks the rows committed on the master and not yet marked on another thread, unless a marking runs.
    void startMarking();
    // Takes the result of the finished marking; its rows wait again when the local database refused.
    void collectMarking();
    void schedule(int delayMs);
    void reportRefused(const QVector<TableBatch>& batches);
    // Counts the rows whose texts the master took altered, and reports the first of each run of them.
    void countAltered(const QVector<TableBatch>& batches);
    // The warnings about the master once per run, and the retention once an hour.
    void connected();
    void applyRetention();
    // Compares what the master holds of this source with the rows marked sent, so that what it lacks goes again.
    void compareWithMaster();
    // The rows that the master lacked are there again: one line for them, and the master recorded as the last.
    void refillDone();
    // The oldest time of a row that the master keeps, by the shortest retention that applies to it.
    qint64 retentionCutoffMs() const;

    ForwardSettings m_settings;
    LocalStore m_local;
    std::unique_ptr<MasterClient> m_master;
    QTimer m_timer;
    QTimer m_healthTimer;
    std::function<bool()> m_stopCheck;
    // Committed on the master but not yet marked locally, and being marked while m_marking runs.
    QVector<TableBatch> m_unmarked;
    QVector<TableBatch> m_marked;
    std::future<QString> m_marking;
    QDeadlineTimer m_markRetry;
    int m_nextTable = 0;
    int m_retryDelayMs = 0;
    bool m_away = false;
    bool m_markFailing = false;
    ForwarderCounters m_counters;
    // Whether the last batch had a row whose text was altered for the master (see masterText()).
    bool m_altering = false;
    // The rows sent again per table since the master was found lacking them, and why it lacked them.
    QVector<qint64> m_refilled;
    QString m_refillReason;
    bool m_warnedUnpartitioned = false;
    bool m_warnedTransport = false;
    QDateTime m_nextRetention;
    qint64 m_retries = 0;
    QDateTime m_lastSuccess;
};

#endif
