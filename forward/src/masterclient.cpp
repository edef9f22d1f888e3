#include "masterclient.h"

#include "forwardtables.h"
#include "masterschema.h"
#include "mastertransport.h"

#include <QDateTime>

#include <QDebug>
#include <QUuid>
#include <QtEndian>

#include <limits>

#include <libpq-fe.h>

namespace {

// timestamptz's range (4713 BC to 294276 AD) in milliseconds since the Unix epoch, the end excluded.
const qint64 firstInstantMs = -210866803200000;
const qint64 endInstantMs = 9224318016000000;
// PostgreSQL counts its instants in microseconds from 2000-01-01.
const qint64 postgresEpochMs = 946684800000;
// COPY data goes to libpq in pieces of this size, so that the server stores while the rest is encoded.
const int copyChunkBytes = 256 * 1024;
const char uniqueViolation[] = "23505";

// The instant of a millisecond time, NULL outside timestamptz's range.
QString atExpression(const QString& time)
{
    return QStringLiteral("CASE WHEN %1 >= %2 AND %1 < %3 "
                          "THEN to_timestamp(%1 / 1000) + (%1 % 1000) * interval '1 millisecond' END")
        .arg(time)
        .arg(firstInstantMs)
        .arg(endInstantMs);
}

QString masterColumns(const ForwardTable& table)
{
    QString columns;
    for (const ForwardColumn& column : table.columns)
        columns += QStringLiteral(", ") + column.master;
    return columns;
}

QString stageName(const ForwardTable& table)
{
    return QStringLiteral("forward_stage_") + table.name;
}

// COPY's binary format: integers in network byte order, each field its length and its bytes.
template <typename T>
void appendInteger(QByteArray* data, T value)
{
    char bytes[sizeof(T)];
    qToBigEndian(value, bytes);
    data->append(bytes, sizeof(T));
}

void appendField(QByteArray* data, const char* bytes, int size)
{
    appendInteger<qint32>(data, size);
    data->append(bytes, size);
}

void appendBigintField(QByteArray* data, qint64 value)
{
    appendInteger<qint32>(data, sizeof(qint64));
    appendInteger<qint64>(data, value);
}

// The server's notices ("already exists, skipping") are for the debug output only.
void debugNotice(void*, const char* message)
{
    qDebug() << QString::fromUtf8(message).trimmed();
}

QString firstLine(const char* message)
{
    return QString::fromUtf8(message).trimmed().section(QLatin1Char('\n'), 0, 0);
}

// libpq's host, address and sslmode of the connection made.
QString transportWarningOf(pg_conn* conn, const QString& description)
{
    QString sslMode;
    if (PQconninfoOption* options = PQconninfo(conn)) {
        for (PQconninfoOption* option = options; option->keyword; ++option) {
            if (qstrcmp(option->keyword, "sslmode") == 0 && option->val)
                sslMode = QString::fromUtf8(option->val);
        }
        PQconninfoFree(options);
    }
    const char* host = PQhost(conn);
    const char* address = PQhostaddr(conn);
    return insecureTransportWarning(QString::fromUtf8(host ? host : ""), QString::fromUtf8(address ? address : ""),
                                    sslMode, description);
}

} // namespace

MasterClient::MasterClient(const QString& conninfo, const QString& sourceId, const QString& hostName,
                           int partitionDays)
    : m_conninfo(conninfo.toUtf8())
    , m_sourceId(sourceId.toUtf8())
    , m_sourceUuid(QUuid::fromString(sourceId).toRfc4122())
    , m_hostName(hostName.toUtf8())
    , m_partitionDays(partitionDays)
{
}

MasterClient::~MasterClient()
{
    disconnectFromMaster();
}

void MasterClient::disconnectFromMaster()
{
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool MasterClient::fail(pg_result* result)
{
    m_transient = connectionTrouble(result);
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    m_state = state ? QByteArray(state) : QByteArray();
    m_error = firstLine(result ? PQresultErrorMessage(result) : PQerrorMessage(m_conn));
    if (m_error.isEmpty())
        m_error = firstLine(PQerrorMessage(m_conn));
    PQclear(result);
    return false;
}

bool MasterClient::connectionTrouble(pg_result* result) const
{
    if (PQstatus(m_conn) != CONNECTION_OK || !result)
        return true;
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (!state)
        return true;
    // Connection exceptions, operator intervention (shutdown, termination), resources, and
    // transaction rollbacks (deadlock, serialization): the same rows succeed later.
    const QByteArray cls = QByteArray(state).left(2);
    return cls == "08" || cls == "57" || cls == "53" || cls == "40" || cls == "58";
}

bool MasterClient::command(const char* sql)
{
    PGresult* result = PQexec(m_conn, sql);
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        PQclear(result);
        return true;
    }
    return fail(result);
}

bool MasterClient::commandWithSource(const QString& sql)
{
    const QByteArray text = sql.toUtf8();
    const char* values[] = {m_sourceId.constData(), m_hostName.constData()};
    PGresult* result = PQexecParams(m_conn, text.constData(), 2, nullptr, values, nullptr, nullptr, 0);
    if (PQresultStatus(result) == PGRES_COMMAND_OK) {
        PQclear(result);
        return true;
    }
    return fail(result);
}

bool MasterClient::openConnection()
{
    disconnectFromMaster();
    // The given string may override these; it is expanded in the place of dbname.
    const char* keys[] = {"connect_timeout", "dbname", "fallback_application_name", "client_encoding", nullptr};
    const char* values[] = {"10", m_conninfo.constData(), "tevriklogforward", "UTF8", nullptr};
    m_conn = PQconnectdbParams(keys, values, 1);
    PQsetNoticeProcessor(m_conn, debugNotice, nullptr);
    const char* host = PQhost(m_conn);
    const char* db = PQdb(m_conn);
    m_description = QStringLiteral("database %1 on %2")
                        .arg(QString::fromUtf8(db ? db : ""), QString::fromUtf8(host ? host : ""));
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_error = firstLine(PQerrorMessage(m_conn));
        disconnectFromMaster();
        return false;
    }
    bool ok = PQsetClientEncoding(m_conn, "UTF8") == 0 || fail(nullptr);
    ok = ok && command(masterSchemaSql(m_partitionDays).toUtf8().constData());
    ok = ok && (m_partitions.load(m_conn) || partitionsFailed());
    if (!ok)
        disconnectFromMaster();
    return ok;
}

bool MasterClient::connectToMaster()
{
    bool ok = openConnection();
    for (const ForwardTable& table : forwardTables()) {
        QString definitions;
        for (const ForwardColumn& column : table.columns)
            definitions += QStringLiteral(", %1 %2").arg(column.master, column.isInteger ? QStringLiteral("bigint") : QStringLiteral("text"));
        const QByteArray stage =
            QStringLiteral("CREATE TEMP TABLE %1 (rowid bigint, time bigint%2) ON COMMIT DELETE ROWS")
                .arg(stageName(table), definitions)
                .toUtf8();
        ok = ok && command(stage.constData());
    }
    ok = ok
         && commandWithSource(QStringLiteral(
             "INSERT INTO sources (source, hostname) VALUES ($1, $2) ON CONFLICT (source) "
             "DO UPDATE SET hostname = EXCLUDED.hostname, last_contact = now()"));
    ok = ok && readHighest();
    if (!ok)
        disconnectFromMaster();
    return ok;
}

bool MasterClient::readHighest()
{
    m_highest.clear();
    const char* values[] = {m_sourceId.constData()};
    for (const ForwardTable& table : forwardTables()) {
        const QByteArray sql =
            QStringLiteral("SELECT COALESCE(max(rowid), 0) FROM %1 WHERE source = $1").arg(table.name).toUtf8();
        PGresult* result = PQexecParams(m_conn, sql.constData(), 1, nullptr, values, nullptr, nullptr, 0);
        if (PQresultStatus(result) != PGRES_TUPLES_OK || PQntuples(result) != 1)
            return fail(result);
        m_highest.append(QByteArray(PQgetvalue(result, 0, 0)).toLongLong());
        PQclear(result);
    }
    return true;
}

bool MasterClient::copyRows(const TableBatch& batch, bool direct)
{
    const ForwardTable& table = forwardTables().at(batch.table);
    const QString columns = masterColumns(table);
    const QByteArray copy =
        (direct ? QStringLiteral("COPY %1 (source, hostname, rowid, time, at%2) FROM STDIN (FORMAT binary)")
                      .arg(table.name, columns)
                : QStringLiteral("COPY %1 FROM STDIN (FORMAT binary)").arg(stageName(table)))
            .toUtf8();
    PGresult* result = PQexec(m_conn, copy.constData());
    if (PQresultStatus(result) != PGRES_COPY_IN)
        return fail(result);
    PQclear(result);

    QByteArray data;
    data.reserve(copyChunkBytes * 2);
    data.append("PGCOPY\n\377\r\n\0", 11);
    appendInteger<qint32>(&data, 0);
    appendInteger<qint32>(&data, 0);
    const auto fields = static_cast<qint16>(table.columns.size() + (direct ? 5 : 2));
    for (const LocalRow& row : batch.rows) {
        appendInteger<qint16>(&data, fields);
        if (direct) {
            appendField(&data, m_sourceUuid.constData(), m_sourceUuid.size());
            appendField(&data, m_hostName.constData(), m_hostName.size());
        }
        appendBigintField(&data, row.rowId);
        appendBigintField(&data, row.time);
        if (direct) {
            if (row.time >= firstInstantMs && row.time < endInstantMs)
                appendBigintField(&data, (row.time - postgresEpochMs) * 1000);
            else
                appendInteger<qint32>(&data, -1);
        }
        for (int i = 0; i < table.columns.size(); ++i) {
            const QByteArray& value = row.values.at(i);
            if (table.columns.at(i).isInteger)
                appendBigintField(&data, value.toLongLong());
            else
                appendField(&data, value.constData(), value.size());
        }
        if (data.size() >= copyChunkBytes) {
            if (PQputCopyData(m_conn, data.constData(), data.size()) != 1)
                return fail(nullptr);
            data.resize(0);
        }
    }
    appendInteger<qint16>(&data, -1);
    if (PQputCopyData(m_conn, data.constData(), data.size()) != 1 || PQputCopyEnd(m_conn, nullptr) != 1)
        return fail(nullptr);
    result = PQgetResult(m_conn);
    const bool copied = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!copied)
        fail(result);
    else
        PQclear(result);
    // The rest of the results end the command.
    while (PGresult* more = PQgetResult(m_conn))
        PQclear(more);
    if (!copied || direct)
        return copied;

    return commandWithSource(QStringLiteral("INSERT INTO %1 (source, hostname, rowid, time, at%2) "
                                            "SELECT $1::uuid, $2, rowid, time, %3%2 FROM %4 "
                                            "ON CONFLICT DO NOTHING")
                                 .arg(table.name, columns, atExpression(QStringLiteral("time")), stageName(table)));
}

bool MasterClient::transaction(const QVector<TableBatch>& batches, bool mayCopyDirectly)
{
    qint64 oldest = std::numeric_limits<qint64>::max();
    for (const TableBatch& batch : batches) {
        for (const LocalRow& row : batch.rows)
            oldest = std::min(oldest, row.time);
    }
    bool ok = command("BEGIN")
              && commandWithSource(QStringLiteral("UPDATE sources SET hostname = $2, last_contact = now(), "
                                                  "old_rows_at = CASE WHEN %1 < %2 THEN now() ELSE old_rows_at END "
                                                  "WHERE source = $1")
                                       .arg(oldest)
                                       .arg(masterRecentTimeSql()));
    for (const TableBatch& batch : batches) {
        // Rows above the highest this source has on the master cannot be there yet, unless a second forwarder
        // works on the same database: then the key refuses them and the batch goes the careful way.
        if (ok && !batch.rows.isEmpty())
            ok = copyRows(batch, mayCopyDirectly && batch.rows.first().rowId > m_highest.at(batch.table));
    }
    return ok && command("COMMIT");
}

bool MasterClient::partitionsFailed()
{
    return fail(m_partitions.takeFailure());
}

bool MasterClient::applyRetention(int retentionDays, QStringList* reports)
{
    if (!m_conn || m_partitions.applyRetention(m_conn, retentionDays, QDateTime::currentMSecsSinceEpoch(), reports))
        return true;
    partitionsFailed();
    if (m_transient || PQstatus(m_conn) != CONNECTION_OK)
        disconnectFromMaster();
    return false;
}

bool MasterClient::convertMaster(QStringList* reports)
{
    if (!openConnection())
        return false;
    if (m_partitions.convert(m_conn, QDateTime::currentMSecsSinceEpoch(), reports))
        return true;
    return partitionsFailed();
}

QString MasterClient::transportWarning() const
{
    return transportWarningOf(m_conn, m_description);
}

MasterClient::Result MasterClient::write(QVector<TableBatch>* batches)
{
    if (!m_conn)
        return Result::Unreachable;
    // Made in a transaction of its own, before the batch's: a batch that fails later leaves them for the next.
    if (!m_partitions.prepare(m_conn, *batches, QDateTime::currentMSecsSinceEpoch())) {
        partitionsFailed();
        disconnectFromMaster();
        return Result::Unreachable;
    }
    bool ok = transaction(*batches, true);
    if (!ok && !m_transient && m_state == uniqueViolation) {
        command("ROLLBACK");
        ok = transaction(*batches, false) && readHighest();
    }
    if (ok) {
        for (const TableBatch& batch : qAsConst(*batches)) {
            if (!batch.rows.isEmpty())
                m_highest[batch.table] = qMax(m_highest.at(batch.table), batch.rows.last().rowId);
        }
        return Result::Written;
    }
    if (m_transient || PQstatus(m_conn) != CONNECTION_OK) {
        disconnectFromMaster();
        return Result::Unreachable;
    }
    const QString batchError = m_error;
    command("ROLLBACK");
    if (writeRowByRow(batches))
        return Result::Written;
    if (m_error.isEmpty())
        m_error = batchError;
    disconnectFromMaster();
    return Result::Unreachable;
}

bool MasterClient::writeRowByRow(QVector<TableBatch>* batches)
{
    for (TableBatch& batch : *batches) {
        const ForwardTable& table = forwardTables().at(batch.table);
        QString placeholders;
        for (int i = 0; i < table.columns.size(); ++i)
            placeholders += QStringLiteral(", $%1").arg(i + 5);
        const QByteArray insert =
            QStringLiteral("INSERT INTO %1 (source, hostname, rowid, time, at%2) VALUES ($1, $2, $3, $4, %3%4) "
                           "ON CONFLICT DO NOTHING")
                .arg(table.name, masterColumns(table), atExpression(QStringLiteral("$4::bigint")), placeholders)
                .toUtf8();
        QVector<LocalRow> accepted;
        for (const LocalRow& row : qAsConst(batch.rows)) {
            const QByteArray rowId = QByteArray::number(row.rowId);
            const QByteArray time = QByteArray::number(row.time);
            QVector<const char*> values = {m_sourceId.constData(), m_hostName.constData(), rowId.constData(),
                                           time.constData()};
            for (const QByteArray& value : row.values)
                values.append(value.constData());
            PGresult* result = PQexecParams(m_conn, insert.constData(), values.size(), nullptr, values.constData(),
                                            nullptr, nullptr, 0);
            if (PQresultStatus(result) == PGRES_COMMAND_OK) {
                PQclear(result);
                accepted.append(row);
                continue;
            }
            fail(result);
            if (m_transient)
                return false;
            batch.refused.append({row.rowId, QStringLiteral("the master refused it: %1").arg(m_error)});
        }
        batch.rows.swap(accepted);
    }
    m_error.clear();
    return true;
}
