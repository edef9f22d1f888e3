#ifndef DATABASEWRAPPER_H
#define DATABASEWRAPPER_H

#include "logmessage.pb.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>
#include <QVector>

#include <array>
#include <memory>

class ConfigSettings;
class QSqlQuery;

// Appends every payload of every event as one row of its table in the SQLite database
// held by Qt's default SQL connection.
//
// Rows written one after another share a transaction, committed within a few tens of
// milliseconds of its first row, or sooner when it grows large; commit() and the destructor
// commit it at once.
class DataBaseWrapper : public QObject
{
    Q_OBJECT

public:
    // Opens the database at the configuration's path and creates the tables that are missing.
    DataBaseWrapper(const ConfigSettings& settings, QObject* parent);
    // Commits the rows that are still pending.
    ~DataBaseWrapper() override;

    // True when the database is open and all nine tables exist.
    bool isReady() const;
    // Why the database is not ready; empty when it is.
    QString errorString() const;
    // The memory that rows waiting for a retry may take; past it the newest rows are lost.
    void setMaxHeldBytes(qint64 bytes);

signals:
    // A transaction was committed; no transaction is open while the signal is delivered.
    void committed();

public slots:
    void newLogEvent(LogEvent* event);
    void handleDumps(const CoreDump& msg);
    void handleReboots(const Reboot& msg);
    void handleWatchdogs(const WatchDog& msg);
    void handleJoinlayers(const JoinLayer& msg);
    void handleSpecfiles(const SpecfileUse& msg);
    void handleSystemloads(const SystemLoad& msg);
    void handleMachines(const MachineConfig& msg);
    void handleGeneric(const GenericLogMsg& msg);
    // Commits the rows written so far; does nothing when none are pending.
    void commit();

private:
    // The tables that receive rows, in the order in which an event's payloads are stored.
    enum class Table { Configuration, CoreDumps, Reboots, Watchdog, JoinLayer, Specfile, SystemLoad, Generic };
    static constexpr int tableCount = 8;

    // A row written inside the open transaction, kept until the transaction is committed so
    // that it can be written again should the transaction be rolled back.
    struct PendingRow
    {
        Table table;
        QVariantList values;
    };

    void tuneConnection();
    void createTables();
    void insertRow(Table table, const QVariantList& values);
    bool execInsert(Table table, const QVariantList& values, bool report);
    void reportLostRow(Table table, const QSqlQuery& query) const;

    const ConfigSettings& m_settings;
    QString m_errorString;
    std::array<std::unique_ptr<QSqlQuery>, tableCount> m_inserts;
    bool m_inTransaction = false;
    QVector<PendingRow> m_pending;
    qint64 m_pendingBytes = 0;
    qint64 m_maxHeldBytes = 64 * 1024 * 1024;
    QElapsedTimer m_transactionAge;
    QTimer m_commitTimer;
};

#endif
