#include "masterstore.h"

#include "mastersummary.h"
#include "mastertransport.h"
#include "programmessagehandler.h"

#include <QDebug>
namespace {

// Rows fetched from a server-side cursor at a time: the last N of a large master need only the newest few.
constexpr int fetchRows = 1000;
// The master's figures change as forwarders commit, with no cheap sign of it: a look every half second.
constexpr int masterPollIntervalMs = 500;

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
            if (m_done || !m_store.leaveTransaction())
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
    MasterNewRows(MasterStore& store, MasterStore::Result result, int table, QMap<QByteArray, qint64>& positions,
                  QMap<QByteArray, QByteArray>& marks, QMap<QByteArray, QByteArray> newMarks)
        : m_store(store)
        , m_result(std::move(result))
        , m_table(table)
        , m_positions(positions)
        , m_marks(marks)
        , m_newMarks(std::move(newMarks))
    {
    }

    bool next(EventRow& row) override
    {
        if (m_index == 0 && !m_store.leaveTransaction())
            return false;
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
    MasterStore& m_store;
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

MasterStore::MasterStore()
    : m_pg("tevriklog")
{
}

void MasterStore::setStopCheck(std::function<bool()> stopCheck)
{
    m_pg.setStopCheck(std::move(stopCheck));
}

bool MasterStore::open(const QString& conninfo)
{
    if (!isValidConnInfo(conninfo)) {
        m_error = QStringLiteral("Invalid connection string for --master: expected keyword=value pairs or a "
                                 "postgresql:// URI");
        return false;
    }
    // An unreachable master is reported within the string's connect_timeout, 10 s unless it says otherwise.
    m_conninfo = conninfo;
    if (!connect()) {
        m_error = QStringLiteral("Cannot connect to the master database: %1").arg(m_pg.errorString());
        return false;
    }
    PGconn* conn = m_pg.handle();
    const QString warning = insecureTransportWarning(QString::fromUtf8(PQhost(conn)), QString::fromUtf8(PQhostaddr(conn)),
                                                     connectionOption(conn, "sslmode"), m_pg.description());
    if (!warning.isEmpty())
        writeAlways(QtWarningMsg, warning);
    return checkTables();
}

bool MasterStore::connect()
{
    if (!m_pg.open(m_conninfo))
        return false;
    // Said from the first -d: with several hosts, which server answered is the first thing to know.
    if (debugLevel >= 1)
        writeAlways(QtInfoMsg, QStringLiteral("Reading the master %1, %2")
                                   .arg(m_pg.description(),
                                        m_pg.isStandby() ? QStringLiteral("a standby") : QStringLiteral("a primary")));
    // The reader's statements read a few index entries of many partitions, which the planner may take for
    // a large query: compiling one costs far more than it saves, about a second on 100 million rows.
    return m_pg.exec("SET jit = off", {}, PGRES_COMMAND_OK) != nullptr;
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
                      .arg(m_pg.database(), m_pg.host(),
                           missing.join(QLatin1String(", ")));
        return false;
    }
    return readSummaries();
}

bool MasterStore::readSummaries()
{
    // A summary counts only while all four of its triggers fire, and only a summary that the reader may read helps.
    QStringList tables;
    QStringList summaries;
    for (const EventTable& table : eventTables()) {
        tables << QLatin1String(table.table);
        summaries << QString::fromStdString(masterSummaryTable(table));
    }
    const Result result = exec(
        BuiltQuery{QStringLiteral("SELECT t.n - 1 FROM unnest($1::text[], $2::text[]) WITH ORDINALITY AS "
                                  "t(name, summary, n) WHERE has_table_privilege(to_regclass(t.summary), 'SELECT') "
                                  "AND (SELECT count(*) FROM pg_trigger AS g WHERE g.tgrelid = to_regclass(t.name) "
                                  "AND g.tgenabled IN ('O', 'A') AND g.tgname IN (t.summary || '_insert', "
                                  "t.summary || '_delete', t.summary || '_update', t.summary || '_truncate')) = 4"),
                   {QLatin1Char('{') + tables.join(QLatin1Char(',')) + QLatin1Char('}'),
                    QLatin1Char('{') + summaries.join(QLatin1Char(',')) + QLatin1Char('}')}},
        PGRES_TUPLES_OK, QStringLiteral("Cannot read the master database"));
    if (!result)
        return false;
    m_summarised.fill(false);
    for (int i = 0; i < PQntuples(result.get()); ++i)
        m_summarised[static_cast<size_t>(QByteArray(PQgetvalue(result.get(), i, 0)).toInt())] = true;
    QStringList counted;
    for (int t = 0; t < eventTableCount; ++t) {
        if (!m_summarised[static_cast<size_t>(t)])
            counted << tables.at(t);
    }
    if (!counted.isEmpty())
        qDebug() << QStringLiteral("Tables of the master without an hourly summary, counted row by row: %1 "
                                   "(tevriklogforward --convert-master makes it)")
                        .arg(counted.join(QLatin1String(", ")));
    return true;
}

MasterStore::Result MasterStore::exec(const BuiltQuery& query, int expected, const QString& what)
{
    QVector<QByteArray> texts;
    for (const QVariant& value : query.values)
        texts << value.toString().toUtf8();
    Result result = m_pg.exec(query.sql.toUtf8(), texts, static_cast<ExecStatusType>(expected));
    if (!result && m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(what, m_pg.errorString());
    return result;
}

bool MasterStore::beginRead(ReadKind kind)
{
    // A lost connection is tried again at the start of each read.
    m_error.clear();
    m_sources.reset();
    if (!m_pg.isOpen() && !connect()) {
        m_error = QStringLiteral("Lost the master database: %1").arg(m_pg.errorString());
        return false;
    }
    // One snapshot for every statement of the read, which can write nothing.
    m_inTransaction = exec(BuiltQuery{QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), {}},
                           PGRES_COMMAND_OK, QStringLiteral("Cannot read the master database"))
                      != nullptr;
    // Every source's position costs a probe of each partition: read only where a follower starts.
    return m_inTransaction && (kind != ReadKind::RowsAndPositions || readPositions());
}

bool MasterStore::readPositions()
{
    // Each source's newest row through the key (source, rowid): no scan of the tables.
    QStringList parts;
    for (int t = 0; t < eventTableCount; ++t)
        parts << QStringLiteral("SELECT %1, s.source, coalesce((SELECT max(rowid) FROM \"%2\" AS t "
                                "WHERE t.source = s.source), 0) FROM sources AS s")
                     .arg(t)
                     .arg(tableName(t));
    const Result result = exec(BuiltQuery{parts.join(QLatin1String(" UNION ALL ")), {}}, PGRES_TUPLES_OK,
                               QStringLiteral("Cannot read the master database"));
    if (!result)
        return false;
    for (QMap<QByteArray, qint64>& positions : m_positions)
        positions.clear();
    for (int i = 0; i < PQntuples(result.get()); ++i)
        m_positions[static_cast<size_t>(QByteArray(PQgetvalue(result.get(), i, 0)).toInt())].insert(
            PQgetvalue(result.get(), i, 1), QByteArray(PQgetvalue(result.get(), i, 2)).toLongLong());
    // A source whose mark stays as it is now delivers its new rows into the recent partitions only.
    return readMarks(m_marks);
}

bool MasterStore::readMarks(QMap<QByteArray, QByteArray>& marks)
{
    const Result result =
        exec(BuiltQuery{QStringLiteral("SELECT source, coalesce(old_rows_at::text, '') FROM sources"), {}},
             PGRES_TUPLES_OK, QStringLiteral("Cannot read table sources"));
    if (!result)
        return false;
    marks.clear();
    for (int i = 0; i < PQntuples(result.get()); ++i)
        marks.insert(PQgetvalue(result.get(), i, 0), PQgetvalue(result.get(), i, 1));
    return true;
}

bool MasterStore::leaveTransaction()
{
    if (!m_inTransaction)
        return true;
    m_inTransaction = false;
    // The commit copies the rows of the held cursors aside and ends the snapshot.
    return exec(BuiltQuery{QStringLiteral("COMMIT"), {}}, PGRES_COMMAND_OK,
                QStringLiteral("Cannot read the master database"))
           != nullptr;
}

bool MasterStore::endRead()
{
    bool ok = leaveTransaction();
    // Held cursors outlive the transaction: closed also after a failure, unless the connection went with them.
    if (m_cursorsOpen && m_pg.isOpen())
        ok = exec(BuiltQuery{QStringLiteral("CLOSE ALL"), {}}, PGRES_COMMAND_OK,
                  QStringLiteral("Cannot read the master database"))
                 != nullptr
             && ok;
    m_cursorsOpen = false;
    return ok;
}

std::optional<TableQuery> MasterStore::withEverySource(const TableQuery& query)
{
    if (!query.after)
        return query;
    if (!m_sources) {
        const Result result = exec(BuiltQuery{QStringLiteral("SELECT source FROM sources"), {}}, PGRES_TUPLES_OK,
                                   QStringLiteral("Cannot read table sources"));
        if (!result)
            return std::nullopt;
        m_sources.emplace();
        for (int i = 0; i < PQntuples(result.get()); ++i)
            m_sources->append(PQgetvalue(result.get(), i, 0));
    }
    TableQuery every = query;
    for (const QByteArray& source : qAsConst(*m_sources)) {
        if (!every.after->contains(source))
            every.after->insert(source, 0);
    }
    return every;
}

std::unique_ptr<RowStream> MasterStore::rows(const TableQuery& query)
{
    const std::optional<TableQuery> every = withEverySource(query);
    if (!every)
        return nullptr;
    const QByteArray cursor = "rows" + QByteArray::number(++m_cursorCount);
    BuiltQuery declare = buildRowQuery(*every, postgresDialect());
    declare.sql = QStringLiteral("DECLARE %1 NO SCROLL CURSOR WITH HOLD FOR ").arg(QLatin1String(cursor)) + declare.sql;
    if (!exec(declare, PGRES_COMMAND_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table))))
        return nullptr;
    m_cursorsOpen = true;
    return std::make_unique<MasterRowStream>(*this, cursor, query.table);
}

std::unique_ptr<RowStream> MasterStore::rowsAfter(const TableQuery& query, QMap<QByteArray, qint64>& positions,
                                               QMap<QByteArray, QByteArray>& marks)
{
    // In the read's snapshot, as the rows that follow.
    QMap<QByteArray, QByteArray> newMarks;
    if (!readMarks(newMarks))
        return nullptr;
    std::array<QStringList, 2> ids;
    std::array<QStringList, 2> after;
    for (auto it = newMarks.cbegin(); it != newMarks.cend(); ++it) {
        const QByteArray& source = it.key();
        const QByteArray& mark = it.value();
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
    return std::make_unique<MasterNewRows>(*this, std::move(result), query.table, positions, marks, std::move(newMarks));
}

bool MasterStore::stats(const QVector<TableQuery>& queries, QVector<QVector<TableStats>>& stats)
{
    stats.clear();
    for (const TableQuery& query : queries) {
        const std::optional<TableQuery> every = withEverySource(query);
        const bool hourly = m_summarised[static_cast<size_t>(query.table)] && summaryAnswers(query, nullptr);
        const Result result =
            every ? exec(hourly ? buildSummaryHostStatsQuery(*every) : buildHostStatsQuery(*every, postgresDialect()),
                         PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table)))
                  : nullptr;
        if (!result)
            return false;
        stats.append(QVector<TableStats>());
        QVector<TableStats>& hosts = stats.last();
        for (int i = 0; i < PQntuples(result.get()); ++i) {
            TableStats host;
            host.host = PQgetvalue(result.get(), i, 0);
            host.rows = QByteArray(PQgetvalue(result.get(), i, 1)).toLongLong();
            host.first = QByteArray(PQgetvalue(result.get(), i, 2)).toLongLong();
            host.last = QByteArray(PQgetvalue(result.get(), i, 3)).toLongLong();
            hosts << host;
        }
    }
    return true;
}

bool MasterStore::timeSpan(const TableQuery& query, std::optional<qint64>& first, std::optional<qint64>& last)
{
    const std::optional<TableQuery> every = withEverySource(query);
    if (!every)
        return false;
    std::array<std::optional<qint64>*, 2> values{&first, &last};
    const QVector<BuiltQuery> queries = buildTimeSpanQueries(*every, postgresDialect());
    for (int i = 0; i < queries.size(); ++i) {
        const Result result =
            exec(queries.at(i), PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table)));
        if (!result)
            return false;
        values[static_cast<size_t>(i)]->reset();
        if (PQntuples(result.get()) == 1 && !PQgetisnull(result.get(), 0, 0))
            *values[static_cast<size_t>(i)] = QByteArray(PQgetvalue(result.get(), 0, 0)).toLongLong();
    }
    return true;
}

bool MasterStore::countBy(const TableQuery& query, const Grouping& grouping, QVector<QPair<QByteArray, qint64>>& counts)
{
    const std::optional<TableQuery> every = withEverySource(query);
    const bool hourly = m_summarised[static_cast<size_t>(query.table)] && summaryAnswers(query, &grouping);
    const Result result = every ? exec(hourly ? buildSummaryCountQuery(*every, grouping)
                                              : buildCountQuery(*every, grouping, postgresDialect()),
                                       PGRES_TUPLES_OK, QStringLiteral("Cannot read table %1").arg(tableName(query.table)))
                                : nullptr;
    if (!result)
        return false;
    counts.clear();
    for (int i = 0; i < PQntuples(result.get()); ++i)
        counts.append({QByteArray(PQgetvalue(result.get(), i, 0), PQgetlength(result.get(), i, 0)),
                       QByteArray(PQgetvalue(result.get(), i, 1)).toLongLong()});
    return true;
}

StorePositions MasterStore::positions() const
{
    return m_positions;
}

bool MasterStore::hasHosts() const
{
    return true;
}

std::unique_ptr<FollowCursor> MasterStore::followCursor(int table)
{
    return std::make_unique<MasterFollowCursor>(*this, m_positions[static_cast<size_t>(table)], m_marks);
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
    return !m_pg.isOpen();
}

QStringList MasterStore::sizeOnDisk() const
{
    QByteArray sources;
    QByteArray bytes;
    QStringList lines;
    if (sizeFigures(sources, bytes))
        lines << QStringLiteral("Sources: %1; size on disk of the master database: %2 bytes")
                     .arg(QString::fromLatin1(sources), QString::fromLatin1(bytes));
    lines << QStringLiteral("Rows not yet forwarded are known only on each host: tevriklog --stats there.");
    return lines;
}

bool MasterStore::sizeFigures(QByteArray& sources, QByteArray& bytes) const
{
    const Result result =
        m_pg.exec("SELECT count(*), pg_database_size(current_database()) FROM sources", {}, PGRES_TUPLES_OK);
    if (!result || PQntuples(result.get()) != 1)
        return false;
    sources = PQgetvalue(result.get(), 0, 0);
    bytes = PQgetvalue(result.get(), 0, 1);
    return true;
}

QByteArray MasterStore::sizeOnDiskJson() const
{
    QByteArray sources;
    QByteArray bytes;
    if (!sizeFigures(sources, bytes))
        return "{\"sources\":null,\"sizeOnDisk\":null}";
    return "{\"sources\":" + sources + ",\"sizeOnDisk\":" + bytes + '}';
}

QString MasterStore::errorString() const
{
    return m_error;
}
