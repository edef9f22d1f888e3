#ifndef MASTERCLIENT_H
#define MASTERCLIENT_H

#include "localstore.h"
#include "masterpartitions.h"

#include <QString>
#include <QVector>

struct pg_conn;
struct pg_result;

// The connection to the master PostgreSQL database and the writing of batches into it.
class MasterClient
{
public:
    enum class Result { Written, Unreachable };

    // partitionDays is the size of the partitions of a master that this client creates.
    MasterClient(const QString& conninfo, const QString& sourceId, const QString& hostName, int partitionDays = 1);
    ~MasterClient();
    MasterClient(const MasterClient&) = delete;
    MasterClient& operator=(const MasterClient&) = delete;

    // Connects, creates the missing master tables and records this source; false with errorString() set.
    bool connectToMaster();
    void disconnectFromMaster();
    bool isConnected() const { return m_conn != nullptr; }

    // Writes every row of the batches in one transaction, duplicates of earlier deliveries ignored. When the
    // master refuses the batch for its data, each row is written on its own and the refused ones are added to
    // their batch's refused rows. Unreachable means nothing may be marked: the batch is to be sent again.
    Result write(QVector<TableBatch>* batches);

    // Whether the master's tables are partitioned; a master made by an earlier version is not.
    bool isPartitioned() const { return m_partitions.isPartitioned(); }
    // Drops the partitions past the retention, as MasterPartitions::applyRetention; false when the master
    // refused, with errorString() set, and the connection closed when it was lost.
    bool applyRetention(int retentionDays, QStringList* reports);
    // Converts a master made without partitions, as MasterPartitions::convert; connects first.
    bool convertMaster(QStringList* reports);
    // A warning when the master is reached over a network without a verified server, else empty.
    QString transportWarning() const;

    // The master's database and host, never the connection string (which may hold a password).
    QString description() const { return m_description; }
    QString errorString() const { return m_error; }

private:
    // Connects, creates what is missing of the schema and reads the partitions.
    bool openConnection();
    bool command(const char* sql);
    bool commandWithSource(const QString& sql);
    // Copies the batch's rows straight into their table, or into the session's stage table and from there
    // into the table, rows already there skipped.
    bool copyRows(const TableBatch& batch, bool direct);
    // Writes the batches in one transaction, straight into the tables where no row can be there yet.
    bool transaction(const QVector<TableBatch>& batches, bool mayCopyDirectly);
    // Asks the master for the highest rowID that it holds of this source, per table.
    bool readHighest();
    bool writeRowByRow(QVector<TableBatch>* batches);
    // Records the failure of a result (or of the connection when null) and frees the result.
    bool fail(pg_result* result);
    bool connectionTrouble(pg_result* result) const;
    bool partitionsFailed();

    QByteArray m_conninfo;
    QByteArray m_sourceId;
    QByteArray m_sourceUuid;
    QByteArray m_hostName;
    pg_conn* m_conn = nullptr;
    QString m_description;
    QString m_error;
    // The SQLSTATE of the last failure, empty when the connection failed.
    QByteArray m_state;
    bool m_transient = false;
    QVector<qint64> m_highest;
    int m_partitionDays;
    MasterPartitions m_partitions;
};

#endif
