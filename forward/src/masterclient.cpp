#include "masterclient.h"

#include "forwardtables.h"
#include "masterschema.h"

#include <QDebug>

#include <libpq-fe.h>

namespace {

// The instant of a millisecond time, NULL outside timestamptz's range (4713 BC to 294276 AD).
QString atExpression(const QString& time)
{
    return QStringLiteral("CASE WHEN %1 >= -210866803200000 AND %1 < 9224318016000000 "
                          "THEN to_timestamp(%1 / 1000) + (%1 % 1000) * interval '1 millisecond' END")
        .arg(time);
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

// COPY's text format: a backslash, tab, newline and carriage return are escaped; the rest goes as it is.
void appendCopyField(QByteArray* line, const QByteArray& value)
{
    for (const char c : value) {
        switch (c) {
        case '\\':
            line->append("\\\\");
            break;
        case '\t':
            line->append("\\t");
            break;
        case '\n':
            line->append("\\n");
            break;
        case '\r':
            line->append("\\r");
            break;
        default:
            line->append(c);
        }
    }
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

} // namespace

MasterClient::MasterClient(const QString& conninfo, const QString& sourceId, const QString& hostName)
    : m_conninfo(conninfo.toUtf8())
    , m_sourceId(sourceId.toUtf8())
    , m_hostName(hostName.toUtf8())
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

bool MasterClient::connectToMaster()
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
    ok = ok && command(masterSchemaSql);
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
    if (!ok)
        disconnectFromMaster();
    return ok;
}

bool MasterClient::copyRows(const TableBatch& batch)
{
    const ForwardTable& table = forwardTables().at(batch.table);
    const QByteArray copy = QStringLiteral("COPY %1 FROM STDIN").arg(stageName(table)).toUtf8();
    PGresult* result = PQexec(m_conn, copy.constData());
    if (PQresultStatus(result) != PGRES_COPY_IN)
        return fail(result);
    PQclear(result);

    QByteArray data;
    for (const LocalRow& row : batch.rows) {
        data.append(QByteArray::number(row.rowId));
        data.append('\t');
        data.append(QByteArray::number(row.time));
        for (const QByteArray& value : row.values) {
            data.append('\t');
            appendCopyField(&data, value);
        }
        data.append('\n');
    }
    if (PQputCopyData(m_conn, data.constData(), data.size()) != 1 || PQputCopyEnd(m_conn, nullptr) != 1)
        return fail(nullptr);
    result = PQgetResult(m_conn);
    const bool copied = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!copied) {
        fail(result);
        // The rest of the results end the command.
        while (PGresult* more = PQgetResult(m_conn))
            PQclear(more);
        return false;
    }
    PQclear(result);
    while (PGresult* more = PQgetResult(m_conn))
        PQclear(more);

    const QString columns = masterColumns(table);
    return commandWithSource(QStringLiteral("INSERT INTO %1 (source, hostname, rowid, time, at%2) "
                                            "SELECT $1::uuid, $2, rowid, time, %3%2 FROM %4 "
                                            "ON CONFLICT DO NOTHING")
                                 .arg(table.name, columns, atExpression(QStringLiteral("time")), stageName(table)));
}

MasterClient::Result MasterClient::write(QVector<TableBatch>* batches)
{
    if (!m_conn)
        return Result::Unreachable;
    bool ok = command("BEGIN")
              && commandWithSource(QStringLiteral("UPDATE sources SET hostname = $2, last_contact = now() "
                                                  "WHERE source = $1"));
    for (const TableBatch& batch : *batches) {
        if (ok && !batch.rows.isEmpty())
            ok = copyRows(batch);
    }
    ok = ok && command("COMMIT");
    if (ok)
        return Result::Written;
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
