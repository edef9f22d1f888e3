#ifndef FORWARDER_H
#define FORWARDER_H

#include "forwardsettings.h"
#include "localstore.h"
#include "masterclient.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

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

    // Starts forwarding from the event loop.
    void start();

public slots:
    // One line: rows forwarded, rows waiting, the oldest waiting row's age, retries, the last success.
    void reportHealth();
    // Marks what the master has already committed, then ends the event loop.
    void stop();

private slots:
    void step();

private:
    void masterLost(const QString& reason);
    // Marks the rows that the master has committed; false, with a retry scheduled, when the local database refuses.
    bool markForwarded();
    // Marks the rows committed last on another thread.
    void startMarking();
    // Waits for the marking in progress; false as markForwarded.
    bool collectMarking();
    bool markingDone(const QString& error);
    void schedule(int delayMs);
    void reportRefused(const QVector<TableBatch>& batches);
    // The warnings about the master once per run, and the retention once an hour.
    void connected();
    void applyRetention();

    ForwardSettings m_settings;
    LocalStore m_local;
    std::unique_ptr<MasterClient> m_master;
    QTimer m_timer;
    QTimer m_healthTimer;
    // Committed on the master but not yet marked locally, and being marked while m_marking runs.
    QVector<TableBatch> m_unmarked;
    std::future<QString> m_marking;
    int m_nextTable = 0;
    int m_retryDelayMs = 0;
    bool m_away = false;
    bool m_markFailing = false;
    bool m_warnedUnpartitioned = false;
    bool m_warnedTransport = false;
    QDateTime m_nextRetention;
    qint64 m_forwarded = 0;
    qint64 m_retries = 0;
    QDateTime m_lastSuccess;
};

#endif
