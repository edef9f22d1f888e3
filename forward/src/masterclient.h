#ifndef MASTERCLIENT_H
#define MASTERCLIENT_H

#include "localstore.h"
#include "masterpartitions.h"
#include "pgconnection.h"

#include <QString>
#include <QVector>

#include <functional>

// The connection to the master PostgreSQL database and the writing of batches into it.
class MasterClient
{
public:
    enum class Result { Written, Unreachable };

    // partitionDays is the size of the partitions of a master that this client creates.
    MasterClient(const QString& conninfo, const QString& sourceId, const QString& hostName, int partitionDays = 1);
    MasterClient(const MasterClient&) = delete;
    MasterClient& operator=(const MasterClient&) = delete;

    // Asked while the master is waited for; true cancels the statement and drops the connection.
    void setStopCheck(std::function<bool()> stopCheck) { m_pg.setStopCheck(std::move(stopCheck)); }

    // Connects to the primary of the string's hosts, creates the master tables if any is missing, records this
    // source and reads the server's identity and what it holds of this source; false with errorString() set.
    bool connectToMaster();
    void disconnectFromMaster() { m_pg.close(); }
    bool isConnected() const { return m_pg.isOpen(); }
    // Whether the connection is still there, after reading what the server sent unasked (a close at a crash).
    bool stillConnected() { return m_pg.stillOpen() || fail(); }

    // As read at the connect: the server reached, zeros where it does not tell them, and the highest rowID of
    // this source that it holds in each table, in the model's order.
    MasterIdentity identity() const { return m_identity; }
    const QVector<qint64>& highest() const { return m_highest; }
    // The retention that the master's forwarders apply, in days; 0 for none.
    int retentionDays() const { return m_partitions.retentionDays(); }

    // Writes every row of the batches in one transaction, duplicates of earlier deliveries ignored. When the
    // master refuses the batch for its data (SQLSTATE classes 22 and 23), each row is written on its own and
    // the refused ones are added to their batch's refused rows, as are rows whose key the master holds with
    // other contents. Unreachable means nothing may be marked: the batch is to be sent again.
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

    // What the last failure was: of the connection, of the master's state, or a stop request.
    PgConnection::Failure failure() const { return m_pg.failure(); }
    // The master's database and host, never the connection string (which may hold a password).
    QString description() const { return m_pg.description(); }
    QString errorString() const { return m_error; }

private:
    // Connects, creates what is missing of the schema and reads the partitions.
    bool openConnection();
    bool command(const QByteArray& sql);
    bool commandWithSource(const QString& sql);
    bool fail();
    // Runs the schema when one of its tables or indexes is missing, so that a role without DDL rights
    // forwards once the schema exists and a reconnect takes no lock that waits for other forwarders.
    bool ensureSchema();
    // Copies the batch's rows straight into their table, or into the session's stage table and from there
    // into the table, rows already there skipped; the rowIDs that the master holds with other contents are
    // added to conflicts.
    bool copyRows(const TableBatch& batch, bool direct, QVector<qint64>* conflicts);
    // Writes the batches in one transaction, straight into the tables where no row can be there yet.
    bool transaction(QVector<TableBatch>* batches, bool mayCopyDirectly);
    // Asks the master for the highest rowID that it holds of this source, per table.
    bool readHighest();
    // Asks the server for its system identifier and timeline; a server that refuses is known by its rows alone.
    bool readIdentity();
    bool writeRowByRow(QVector<TableBatch>* batches);

    QString m_conninfo;
    QByteArray m_sourceId;
    QByteArray m_sourceUuid;
    QByteArray m_hostName;
    PgConnection m_pg;
    QString m_error;
    QVector<qint64> m_highest;
    MasterIdentity m_identity;
    int m_partitionDays;
    MasterPartitions m_partitions;
};

#endif
