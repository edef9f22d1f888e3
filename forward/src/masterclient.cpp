#include "masterclient.h"

#include "eventmodel.h"
#include "masterschema.h"
#include "mastertransport.h"

#include <QDateTime>
#include <QDebug>

#include <QRegularExpression>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

// timestamptz's range (4713 BC to 294276 AD) in milliseconds since the Unix epoch, the end excluded.
const qint64 firstInstantMs = -210866803200000;
const qint64 endInstantMs = 9224318016000000;
// PostgreSQL counts its instants in microseconds from 2000-01-01.
const qint64 postgresEpochMs = 946684800000;
// COPY data goes to libpq in pieces of this size, so that the server stores while the rest is encoded.
const int copyChunkBytes = 256 * 1024;

// The instant of a millisecond time, NULL outside timestamptz's range.
QString atExpression(const QString& time)
{
    return QStringLiteral("CASE WHEN %1 >= %2 AND %1 < %3 "
                          "THEN to_timestamp(%1 / 1000) + (%1 % 1000) * interval '1 millisecond' END")
        .arg(time)
        .arg(firstInstantMs)
        .arg(endInstantMs);
}

const EventKind& kindOf(const TableBatch& batch)
{
    return eventKinds()[std::size_t(batch.table)];
}

QString masterColumns(const EventKind& kind)
{
    QString columns;
    for (int c = 0; c < kind.columnCount; ++c)
        columns += QStringLiteral(", ") + QLatin1String(kind.columns[std::size_t(c)].master);
    return columns;
}

QString stageName(const EventKind& kind)
{
    return QStringLiteral("forward_stage_") + QLatin1String(kind.table);
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

const char uniqueViolation[] = "23505";
const char conflictReason[] = "the master holds a row of the same key with other contents";

// The master's columns compared with those of the stage table or of parameters from $4 on.
QString sameContents(const EventKind& kind, const QString& stage)
{
    QString condition = stage.isEmpty() ? QStringLiteral("t.time = $4::bigint") : QStringLiteral("t.time = %1.time").arg(stage);
    for (int i = 0; i < kind.columnCount; ++i) {
        const EventColumn& column = kind.columns[std::size_t(i)];
        const QLatin1String master(column.master);
        condition += stage.isEmpty() ? QStringLiteral(" AND t.%1 = $%2::%3").arg(master).arg(i + 5).arg(QLatin1String(masterColumnType(column)))
                                     : QStringLiteral(" AND t.%1 = %2.%1").arg(master, stage);
    }
    return condition;
}

// A warning when the connection made reaches its master over a network without a verified server.
QString transportWarningOf(PGconn* conn, const QString& description)
{
    if (!conn)
        return QString();
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
    : m_conninfo(conninfo)
    , m_sourceId(sourceId.toUtf8())
    , m_sourceUuid(QUuid::fromString(sourceId).toRfc4122())
    , m_hostName(hostName.toUtf8())
    , m_pg("tevriklogforward")
    , m_partitionDays(partitionDays)
{
    // Rows go to the primary only, whichever of the string's hosts it is now.
    m_pg.setDefaultOption("target_session_attrs", "read-write");
}

bool MasterClient::fail()
{
    m_error = m_pg.errorString();
    return false;
}

bool MasterClient::command(const QByteArray& sql)
{
    return m_pg.command(sql) || fail();
}

bool MasterClient::commandWithSource(const QString& sql)
{
    return m_pg.exec(sql.toUtf8(), {m_sourceId, m_hostName}, PGRES_COMMAND_OK) != nullptr || fail();
}

bool MasterClient::ensureSchema()
{
    static const QRegularExpression created(QStringLiteral("CREATE (?:TABLE|INDEX) IF NOT EXISTS (\\w+)"));
    QStringList names;
    const QString schema = masterSchemaSql(m_partitionDays);
    QRegularExpressionMatchIterator it = created.globalMatch(schema);
    while (it.hasNext())
        names << it.next().captured(1);
    for (const EventKind& kind : eventKinds())
        names << QLatin1String(kind.table);
    const QByteArray list = (QLatin1Char('{') + names.join(QLatin1Char(',')) + QLatin1Char('}')).toUtf8();
    const PgConnection::Result missing =
        m_pg.exec("SELECT count(*) FROM unnest($1::text[]) AS name WHERE to_regclass(quote_ident(name)) IS NULL",
                  {list}, PGRES_TUPLES_OK);
    if (!missing)
        return fail();
    return QByteArray(PQgetvalue(missing.get(), 0, 0)) == "0" || command(schema.toUtf8());
}

bool MasterClient::openConnection()
{
    m_error.clear();
    if (!m_pg.open(m_conninfo))
        return fail();
    const bool ok = ensureSchema() && (m_partitions.load(m_pg) || fail());
    if (!ok)
        disconnectFromMaster();
    return ok;
}

bool MasterClient::connectToMaster()
{
    bool ok = openConnection();
    for (const EventKind& kind : eventKinds()) {
        QString definitions;
        for (int c = 0; c < kind.columnCount; ++c)
            definitions += QStringLiteral(", %1 %2").arg(QLatin1String(kind.columns[std::size_t(c)].master),
                                                        QLatin1String(masterColumnType(kind.columns[std::size_t(c)])));
        ok = ok
             && command(QStringLiteral("CREATE TEMP TABLE %1 (rowid bigint, time bigint%2) ON COMMIT DELETE ROWS")
                            .arg(stageName(kind), definitions)
                            .toUtf8());
    }
    ok = ok
         && commandWithSource(QStringLiteral(
             "INSERT INTO sources (source, hostname) VALUES ($1, $2) ON CONFLICT (source) "
             "DO UPDATE SET hostname = EXCLUDED.hostname, last_contact = now()"));
    ok = ok && readIdentity() && readHighest();
    if (!ok)
        disconnectFromMaster();
    return ok;
}

bool MasterClient::readIdentity()
{
    m_identity = MasterIdentity();
    // The timeline is the first part of the current WAL file's name; a promotion starts the next one.
    const PgConnection::Result result =
        m_pg.exec("SELECT system_identifier, CASE WHEN pg_is_in_recovery() THEN '' ELSE "
                  "pg_walfile_name(pg_current_wal_lsn()) END FROM pg_control_system()",
                  {}, PGRES_TUPLES_OK);
    if (result) {
        m_identity.systemId = QByteArray(PQgetvalue(result.get(), 0, 0)).toLongLong();
        m_identity.timeline = QByteArray(PQgetvalue(result.get(), 0, 1)).left(8).toLongLong(nullptr, 16);
        return true;
    }
    // A server that keeps these to itself (some hosted ones do) is compared by its rows alone.
    qDebug() << QStringLiteral("The master %1 does not tell its system identifier and timeline: %2")
                    .arg(description(), m_pg.errorString());
    return m_pg.failure() == PgConnection::Failure::Server || fail();
}

bool MasterClient::readHighest()
{
    // One index probe per partition and table, whatever the master's size.
    QStringList highest;
    for (const EventKind& kind : eventKinds())
        highest << QStringLiteral("(SELECT COALESCE(max(rowid), 0) FROM %1 WHERE source = $1)").arg(QLatin1String(kind.table));
    const PgConnection::Result result =
        m_pg.exec((QStringLiteral("SELECT ") + highest.join(QLatin1String(", "))).toUtf8(), {m_sourceId}, PGRES_TUPLES_OK);
    if (!result || PQntuples(result.get()) != 1)
        return fail();
    m_highest.clear();
    for (int t = 0; t < int(eventKindCount); ++t)
        m_highest.append(QByteArray(PQgetvalue(result.get(), 0, t)).toLongLong());
    return true;
}

bool MasterClient::copyRows(const TableBatch& batch, bool direct, QVector<qint64>* conflicts)
{
    const EventKind& kind = kindOf(batch);
    const QString table = QLatin1String(kind.table);
    const QString columns = masterColumns(kind);
    const QByteArray copy =
        (direct ? QStringLiteral("COPY %1 (source, hostname, rowid, time, at%2) FROM STDIN (FORMAT binary)")
                      .arg(table, columns)
                : QStringLiteral("COPY %1 FROM STDIN (FORMAT binary)").arg(stageName(kind)))
            .toUtf8();
    if (!m_pg.exec(copy, {}, PGRES_COPY_IN))
        return fail();

    QByteArray data;
    data.reserve(copyChunkBytes * 2);
    data.append("PGCOPY\n\377\r\n\0", 11);
    appendInteger<qint32>(&data, 0);
    appendInteger<qint32>(&data, 0);
    const auto fields = static_cast<qint16>(kind.columnCount + (direct ? 5 : 2));
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
        for (int i = 0; i < kind.columnCount; ++i) {
            const QByteArray& value = row.values.at(i);
            if (kind.columns[std::size_t(i)].storage == Storage::Integer)
                appendBigintField(&data, value.toLongLong());
            else
                appendField(&data, value.constData(), value.size());
        }
        if (data.size() >= copyChunkBytes) {
            if (!m_pg.putCopyData(data))
                return fail();
            data.resize(0);
        }
    }
    appendInteger<qint16>(&data, -1);
    if (!m_pg.putCopyData(data) || !m_pg.endCopy())
        return fail();
    if (direct)
        return true;

    if (!commandWithSource(QStringLiteral("INSERT INTO %1 (source, hostname, rowid, time, at%2) "
                                          "SELECT $1::uuid, $2, rowid, time, %3%2 FROM %4 "
                                          "ON CONFLICT DO NOTHING")
                               .arg(table, columns, atExpression(QStringLiteral("time")), stageName(kind))))
        return false;
    // A row skipped for its key is the same row sent before, unless the key came from another database.
    const PgConnection::Result differing =
        m_pg.exec(QStringLiteral("SELECT s.rowid FROM %1 AS s JOIN %2 AS t ON t.source = $1 AND t.rowid = s.rowid "
                                 "WHERE NOT (%3)")
                      .arg(stageName(kind), table, sameContents(kind, QStringLiteral("s")))
                      .toUtf8(),
                  {m_sourceId}, PGRES_TUPLES_OK);
    if (!differing)
        return fail();
    for (int i = 0; i < PQntuples(differing.get()); ++i)
        conflicts->append(QByteArray(PQgetvalue(differing.get(), i, 0)).toLongLong());
    return true;
}

bool MasterClient::transaction(QVector<TableBatch>* batches, bool mayCopyDirectly)
{
    qint64 oldest = std::numeric_limits<qint64>::max();
    for (const TableBatch& batch : qAsConst(*batches)) {
        for (const LocalRow& row : batch.rows)
            oldest = std::min(oldest, row.time);
    }
    bool ok = command("BEGIN")
              && commandWithSource(QStringLiteral("UPDATE sources SET hostname = $2, last_contact = now(), "
                                                  "old_rows_at = CASE WHEN %1 < %2 THEN now() ELSE old_rows_at END "
                                                  "WHERE source = $1")
                                       .arg(oldest)
                                       .arg(masterRecentTimeSql()));
    QVector<QVector<qint64>> conflicts(batches->size());
    for (int i = 0; ok && i < batches->size(); ++i) {
        const TableBatch& batch = batches->at(i);
        // Rows above the highest this source has on the master cannot be there yet, unless a second forwarder
        // works on the same database: then the key refuses them and the batch goes the careful way.
        if (!batch.rows.isEmpty())
            ok = copyRows(batch, mayCopyDirectly && batch.rows.first().rowId > m_highest.at(batch.table),
                          &conflicts[i]);
    }
    if (!ok || !command("COMMIT"))
        return false;
    for (int i = 0; i < batches->size(); ++i) {
        if (conflicts.at(i).isEmpty())
            continue;
        TableBatch& batch = (*batches)[i];
        QVector<LocalRow> kept;
        for (LocalRow& row : batch.rows) {
            if (conflicts.at(i).contains(row.rowId))
                batch.refused.append({row.rowId, QString::fromLatin1(conflictReason)});
            else
                kept.append(std::move(row));
        }
        batch.rows.swap(kept);
    }
    return true;
}

MasterClient::Result MasterClient::write(QVector<TableBatch>* batches)
{
    if (!isConnected())
        return Result::Unreachable;
    // Made in a transaction of its own, before the batch's: a batch that fails later leaves them for the next.
    if (!m_partitions.prepare(m_pg, *batches, QDateTime::currentMSecsSinceEpoch())) {
        fail();
        disconnectFromMaster();
        return Result::Unreachable;
    }
    bool ok = transaction(batches, true);
    if (!ok && m_pg.sqlState() == uniqueViolation) {
        command("ROLLBACK");
        ok = transaction(batches, false) && readHighest();
    }
    if (ok) {
        for (const TableBatch& batch : qAsConst(*batches)) {
            if (!batch.rows.isEmpty())
                m_highest[batch.table] = qMax(m_highest.at(batch.table), batch.rows.last().rowId);
        }
        return Result::Written;
    }
    // Only a row's own data sets it aside; any other refusal passes, and the batch is sent again later.
    if (m_pg.failure() == PgConnection::Failure::Data) {
        const QString batchError = m_error;
        if (command("ROLLBACK") && writeRowByRow(batches))
            return Result::Written;
        if (m_error.isEmpty())
            m_error = batchError;
    }
    disconnectFromMaster();
    return Result::Unreachable;
}

bool MasterClient::writeRowByRow(QVector<TableBatch>* batches)
{
    for (TableBatch& batch : *batches) {
        const EventKind& kind = kindOf(batch);
        QString placeholders;
        for (int i = 0; i < kind.columnCount; ++i)
            placeholders += QStringLiteral(", $%1").arg(i + 5);
        // Counts 1 when the row is stored or the master holds the same row, 0 when its key holds another.
        const QByteArray insert =
            QStringLiteral("WITH stored AS (INSERT INTO %1 (source, hostname, rowid, time, at%2) "
                           "VALUES ($1, $2, $3, $4, %3%4) ON CONFLICT DO NOTHING RETURNING 1) "
                           "SELECT (SELECT count(*) FROM stored) + (SELECT count(*) FROM %1 AS t "
                           "WHERE t.source = $1 AND t.rowid = $3 AND %5)")
                .arg(QLatin1String(kind.table), masterColumns(kind), atExpression(QStringLiteral("$4::bigint")), placeholders,
                     sameContents(kind, QString()))
                .toUtf8();
        QVector<LocalRow> accepted;
        for (const LocalRow& row : qAsConst(batch.rows)) {
            QVector<QByteArray> values;
            values.reserve(4 + row.values.size());
            values << m_sourceId << m_hostName << QByteArray::number(row.rowId) << QByteArray::number(row.time);
            for (const QByteArray& value : row.values)
                values << value;
            const PgConnection::Result result = m_pg.exec(insert, values, PGRES_TUPLES_OK);
            if (result && QByteArray(PQgetvalue(result.get(), 0, 0)) != "0") {
                accepted.append(row);
                continue;
            }
            if (result) {
                batch.refused.append({row.rowId, QString::fromLatin1(conflictReason)});
                continue;
            }
            fail();
            if (m_pg.failure() != PgConnection::Failure::Data)
                return false;
            batch.refused.append({row.rowId, QStringLiteral("the master refused it: %1").arg(m_error)});
        }
        batch.rows.swap(accepted);
    }
    m_error.clear();
    return true;
}


bool MasterClient::applyRetention(int retentionDays, QStringList* reports)
{
    if (!isConnected()
        || m_partitions.applyRetention(m_pg, retentionDays, QDateTime::currentMSecsSinceEpoch(), reports))
        return true;
    fail();
    if (m_pg.failure() == PgConnection::Failure::Connection)
        disconnectFromMaster();
    return false;
}

bool MasterClient::convertMaster(QStringList* reports)
{
    if (!openConnection())
        return false;
    if (m_partitions.convert(m_pg, QDateTime::currentMSecsSinceEpoch(), reports))
        return true;
    return fail();
}

QString MasterClient::transportWarning() const
{
    return transportWarningOf(m_pg.handle(), description());
}
