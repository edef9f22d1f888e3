#include "masterstore.h"

#include "mastertransport.h"
#include "programmessagehandler.h"

#include <libpq-fe.h>

namespace {

// Rows fetched from a server-side cursor at a time: the last N of a large master need only the newest few.
constexpr int fetchRows = 1000;
// The master's figures change as forwarders commit, with no cheap sign of it: a look every half second.
constexpr int masterPollIntervalMs = 500;
constexpr char connectTimeoutSeconds[] = "10";

QString firstLine(const char* message)
{
    return QString::fromUtf8(message).trimmed().section(QLatin1Char('\n'), 0, 0).trimmed();
}

QString connectionOption(PGconn* conn, const char* keyword)
{
    QString value;
    PQconninfoOption* options = PQconninfo(conn);
    for (PQconninfoOption* option = options; option && option->keyword; ++option) {
        if (qstrcmp(option->keyword, keyword) == 0 && option->val)
            value = QString::fromUtf8(option->val);
    }
    PQconninfoFree(options);
    return value;
}

QString tableName(int table)
{
    return QLatin1String(eventTables()[static_cast<size_t>(table)].table);
}

// Reads one result row of the row query's columns.
void readRow(const PGresult* result, int index, int table, EventRow& row)
{
    const EventTable& columns = eventTables()[static_cast<size_t>(table)];
    const auto text = [result, index](int column) {
        return QByteArray(PQgetvalue(result, index, column), PQgetlength(result, index, column));
    };
    row.table = table;
    row.rowId = text(0).toLongLong();
    row.time = text(1).toLongLong();
    row.sentToMasterDB = text(2).toLongLong();
    for (int c = 0; c < columns.columnCount; ++c) {
        // As locally, an unsigned record number is kept with its bits in a signed column.
        row.values[static_cast<size_t>(c)] = (columns.columns[c].storage == Storage::Integer)
                                                 ? QByteArray::number(static_cast<quint64>(text(c + 3).toLongLong()))
                                                 : text(c + 3);
    }
    row.host = text(columns.columnCount + 3);
    row.source = text(columns.columnCount + 4);
}

// The rows of one server-side cursor, fetched a batch at a time within the read's transaction.
class MasterRowStream : public RowStream
{
public:
    MasterRowStream(MasterStore& store, QByteArray cursor, int table)
        : m_store(store)
        , m_cursor(std::move(cursor))
        , m_table(table)
    {
    }

    bool next(EventRow& row) override
    {
        if (!m_batch || m_index == PQntuples(m_batch.get())) {
            if (m_done)
                return false;
            m_batch = m_store.exec(
                BuiltQuery{QStringLiteral("FETCH %1 FROM %2").arg(fetchRows).arg(QLatin1String(m_cursor)), {}},
                PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(m_table)));
            m_index = 0;
            m_done = !m_batch || PQntuples(m_batch.get()) < fetchRows;
            if (!m_batch || PQntuples(m_batch.get()) == 0)
                return false;
        }
        readRow(m_batch.get(), m_index++, m_table, row);
        return true;
    }

private:
    MasterStore& m_store;
    QByteArray m_cursor;
    int m_table;
    MasterStore::Result m_batch;
    int m_index = 0;
    bool m_done = false;
};

// New rows of one table, all fetched at once; the positions move only when the last row has been read, so a
// poll that fails part way reads the same rows again.
class MasterNewRows : public RowStream
{
public:
    MasterNewRows(MasterStore::Result result, int table, QMap<QByteArray, qint64>& positions,
                  QMap<QByteArray, QByteArray>& marks, QMap<QByteArray, QByteArray> newMarks)
        : m_result(std::move(result))
        , m_table(table)
        , m_positions(positions)
        , m_marks(marks)
        , m_newMarks(std::move(newMarks))
    {
    }

    bool next(EventRow& row) override
    {
        if (m_index == PQntuples(m_result.get())) {
            for (auto it = m_seen.cbegin(); it != m_seen.cend(); ++it)
                m_positions[it.key()] = it.value();
            m_seen.clear();
            m_marks = m_newMarks;
            return false;
        }
        readRow(m_result.get(), m_index++, m_table, row);
        qint64& seen = m_seen[row.source];
        seen = std::max(seen, row.rowId);
        return true;
    }

private:
    MasterStore::Result m_result;
    int m_table;
    QMap<QByteArray, qint64>& m_positions;
    QMap<QByteArray, QByteArray>& m_marks;
    QMap<QByteArray, QByteArray> m_newMarks;
    QMap<QByteArray, qint64> m_seen;
    int m_index = 0;
};

// A forwarder sends the rows of each local table in rowID order, so per source the highest rowID read is
// the whole position; a source that appears later is read from its first row.
class MasterFollowCursor : public FollowCursor
{
public:
    MasterFollowCursor(MasterStore& store, QMap<QByteArray, qint64> positions, QMap<QByteArray, QByteArray> marks)
        : m_store(store)
        , m_positions(std::move(positions))
        , m_marks(std::move(marks))
    {
    }

    std::unique_ptr<RowStream> newRows(const TableQuery& query) override
    {
        return m_store.rowsAfter(query, m_positions, m_marks);
    }

private:
    MasterStore& m_store;
    QMap<QByteArray, qint64> m_positions;
    QMap<QByteArray, QByteArray> m_marks;
};

} // namespace

void MasterStore::ResultDeleter::operator()(pg_result* result) const
{
    PQclear(result);
}

MasterStore::~MasterStore()
{
    PQfinish(m_conn);
}

bool MasterStore::open(const QString& conninfo)
{
    // libpq's message about a malformed string quotes the string, which may hold a password.
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.toUtf8().constData(), &parseError);
    PQconninfoFree(options);
    PQfreemem(parseError);
    if (!options) {
        m_error = QStringLiteral("Invalid connection string for --master: expected keyword=value pairs or a "
                                 "postgresql:// URI");
        return false;
    }
    // A default connect timeout, which the string may override: an unreachable master is reported, and a
    // follower's stop request taken, within that time.
    const QByteArray expanded = conninfo.toUtf8();
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {connectTimeoutSeconds, expanded.constData(), nullptr};
    m_conn = PQconnectdbParams(keywords, values, 1);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_error = QStringLiteral("Cannot connect to the master database: %1").arg(firstLine(PQerrorMessage(m_conn)));
        return false;
    }
    if (PQsetClientEncoding(m_conn, "UTF8") != 0) {
        m_error = QStringLiteral("Cannot read the master database: %1").arg(firstLine(PQerrorMessage(m_conn)));
        return false;
    }
    const QString warning = insecureTransportWarning(
        QString::fromUtf8(PQhost(m_conn)), QString::fromUtf8(PQhostaddr(m_conn)), connectionOption(m_conn, "sslmode"),
        QStringLiteral("database %1 on %2").arg(QString::fromUtf8(PQdb(m_conn)), QString::fromUtf8(PQhost(m_conn))));
    if (!warning.isEmpty())
        writeAlways(QtWarningMsg, warning);
    return checkTables();
}

bool MasterStore::checkTables()
{
    QStringList required{QStringLiteral("sources")};
    for (const EventTable& table : eventTables())
        required << QLatin1String(table.table);
    const Result result = exec(BuiltQuery{QStringLiteral("SELECT name FROM unnest($1::text[]) AS name "
                                                         "WHERE to_regclass(quote_ident(name)) IS NULL"),
                                          {QLatin1Char('{') + required.join(QLatin1Char(',')) + QLatin1Char('}')}},
                               PGRES_TUPLES_OK, QStringLiteral("Cannot read the master database"));
    if (!result)
        return false;
    QStringList missing;
    for (int i = 0; i < PQntuples(result.get()); ++i)
        missing << QString::fromUtf8(PQgetvalue(result.get(), i, 0));
    if (!missing.isEmpty()) {
        m_error = QStringLiteral("Database \"%1\" on %2 is not a tevrik master database: missing tables %3")
                      .arg(QString::fromUtf8(PQdb(m_conn)), QString::fromUtf8(PQhost(m_conn)),
                           missing.join(QLatin1String(", ")));
        return false;
    }
    return true;
}

MasterStore::Result MasterStore::exec(const BuiltQuery& query, int expected, const QString& what)
{
    QVector<QByteArray> texts;
    QVector<const char*> values;
    for (const QVariant& value : query.values)
        texts << value.toString().toUtf8();
    for (const QByteArray& text : texts)
        values << text.constData();
    Result result(PQexecParams(m_conn, query.sql.toUtf8().constData(), values.size(), nullptr, values.constData(),
                               nullptr, nullptr, 0));
    if (PQresultStatus(result.get()) == expected)
        return result;
    if (m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(what, firstLine(PQerrorMessage(m_conn)));
    return nullptr;
}

bool MasterStore::beginRead()
{
    // A lost connection is tried again at the start of each read.
    m_error.clear();
    if (PQstatus(m_conn) != CONNECTION_OK) {
        PQreset(m_conn);
        if (PQstatus(m_conn) != CONNECTION_OK || PQsetClientEncoding(m_conn, "UTF8") != 0) {
            m_error = QStringLiteral("Lost the master database: %1").arg(firstLine(PQerrorMessage(m_conn)));
            return false;
        }
    }
    // One snapshot for every statement up to endRead(), which can write nothing.
    return exec(BuiltQuery{QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), {}}, PGRES_COMMAND_OK,
                QStringLiteral("Cannot read the master database"))
           != nullptr;
}

bool MasterStore::endRead()
{
    // The commit also closes the read's cursors.
    return exec(BuiltQuery{QStringLiteral("COMMIT"), {}}, PGRES_COMMAND_OK,
                QStringLiteral("Cannot read the master database"))
           != nullptr;
}

std::unique_ptr<RowStream> MasterStore::rows(const TableQuery& query)
{
    const QByteArray cursor = "rows" + QByteArray::number(++m_cursorCount);
    BuiltQuery declare = buildRowQuery(query, postgresDialect());
    declare.sql = QStringLiteral("DECLARE %1 NO SCROLL CURSOR FOR ").arg(QLatin1String(cursor)) + declare.sql;
    if (!exec(declare, PGRES_COMMAND_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table))))
        return nullptr;
    return std::make_unique<MasterRowStream>(*this, cursor, query.table);
}

std::unique_ptr<RowStream> MasterStore::rowsAfter(const TableQuery& query, QMap<QByteArray, qint64>& positions,
                                               QMap<QByteArray, QByteArray>& marks)
{
    // In the read's snapshot, as the rows that follow.
    const Result sources =
        exec(BuiltQuery{QStringLiteral("SELECT source, coalesce(old_rows_at::text, '') FROM sources"), {}},
             PGRES_TUPLES_OK, QStringLiteral("Cannot read table sources"));
    if (!sources)
        return nullptr;
    QMap<QByteArray, QByteArray> newMarks;
    std::array<QStringList, 2> ids;
    std::array<QStringList, 2> after;
    for (int i = 0; i < PQntuples(sources.get()); ++i) {
        const QByteArray source = PQgetvalue(sources.get(), i, 0);
        const QByteArray mark = PQgetvalue(sources.get(), i, 1);
        newMarks.insert(source, mark);
        const bool everywhere = !positions.contains(source) || !marks.contains(source) || marks.value(source) != mark;
        ids[everywhere] << QString::fromLatin1(source);
        after[everywhere] << QString::number(positions.value(source, 0));
    }
    BuiltQuery built = buildMasterFollowQuery(query, postgresDialect());
    for (size_t part = 0; part < 2; ++part)
        built.values << QLatin1Char('{') + ids[part].join(QLatin1Char(',')) + QLatin1Char('}')
                     << QLatin1Char('{') + after[part].join(QLatin1Char(',')) + QLatin1Char('}');
    Result result = exec(built, PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table)));
    if (!result)
        return nullptr;
    return std::make_unique<MasterNewRows>(std::move(result), query.table, positions, marks, std::move(newMarks));
}

bool MasterStore::stats(const TableQuery& query, QVector<TableStats>& stats)
{
    const Result result = exec(buildHostStatsQuery(query, postgresDialect()), PGRES_TUPLES_OK,
                               QStringLiteral("Cannot read table %1").arg(tableName(query.table)));
    if (!result)
        return false;
    stats.clear();
    for (int i = 0; i < PQntuples(result.get()); ++i) {
        TableStats host;
        host.host = PQgetvalue(result.get(), i, 0);
        host.rows = QByteArray(PQgetvalue(result.get(), i, 1)).toLongLong();
        host.first = QByteArray(PQgetvalue(result.get(), i, 2)).toLongLong();
        host.last = QByteArray(PQgetvalue(result.get(), i, 3)).toLongLong();
        stats << host;
    }
    return true;
}

bool MasterStore::hasHosts() const
{
    return true;
}

std::unique_ptr<FollowCursor> MasterStore::followCursor(int table)
{
    // Each source's newest row through the key (source, rowid): no scan of the table.
    const Result result = exec(
        BuiltQuery{QStringLiteral("SELECT s.source, coalesce((SELECT max(rowid) FROM \"%1\" AS t "
                                  "WHERE t.source = s.source), 0), coalesce(s.old_rows_at::text, '') FROM sources AS s")
                       .arg(tableName(table)),
                   {}},
        PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(table)));
    if (!result)
        return nullptr;
    QMap<QByteArray, qint64> positions;
    QMap<QByteArray, QByteArray> marks;
    for (int i = 0; i < PQntuples(result.get()); ++i) {
        positions.insert(PQgetvalue(result.get(), i, 0), QByteArray(PQgetvalue(result.get(), i, 1)).toLongLong());
        marks.insert(PQgetvalue(result.get(), i, 0), PQgetvalue(result.get(), i, 2));
    }
    return std::make_unique<MasterFollowCursor>(*this, positions, marks);
}

bool MasterStore::mayHaveChanged()
{
    return true;
}

int MasterStore::pollIntervalMs() const
{
    return masterPollIntervalMs;
}

bool MasterStore::connectionLost() const
{
    return PQstatus(m_conn) != CONNECTION_OK;
}

QStringList MasterStore::sizeOnDisk() const
{
    const Result result(PQexec(m_conn, "SELECT count(*), pg_database_size(current_database()) FROM sources"));
    QStringList lines;
    if (PQresultStatus(result.get()) == PGRES_TUPLES_OK && PQntuples(result.get()) == 1)
        lines << QStringLiteral("Sources: %1; size on disk of the master database: %2 bytes")
                     .arg(QString::fromUtf8(PQgetvalue(result.get(), 0, 0)),
                          QString::fromUtf8(PQgetvalue(result.get(), 0, 1)));
    lines << QStringLiteral("Rows not yet forwarded are known only on each host: tevriklog --stats there.");
    return lines;
}

QString MasterStore::errorString() const
{
    return m_error;
}
