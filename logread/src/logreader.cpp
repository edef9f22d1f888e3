#include "logreader.h"

#include "eventreader.h"
#include "eventstore.h"
#include "programmessagehandler.h"
#include "readeroptions.h"
#include "tevrikdefaults.h"
#include "timeparser.h"

#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

// The longest wait between attempts to reach a store whose connection was lost.
constexpr int maxRetryDelayMs = 10000;
// Output is written in pieces of about this size.
constexpr int outputChunkBytes = 64 * 1024;

bool readDbPath(const ReaderOptions& options, QString& dbPath, QString& error)
{
    if (options.database.isPresent()) {
        dbPath = options.database.value().toString();
        return true;
    }
    const bool named = options.configFile.isPresent();
    const QString configPath = named ? options.configFile.value().toString() : QLatin1String(tevrikDefaultConfigFile);
    const QFileInfo info(configPath);
    if (!info.exists() && !named) {
        dbPath = QLatin1String(tevrikDefaultDbPath);
        return true;
    }
    if (!info.isFile() || !info.isReadable()) {
        error = QStringLiteral("Cannot read configuration file \"%1\"").arg(configPath);
        return false;
    }
    QSettings settings(configPath, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("General Settings"));
    const QVariant value = settings.value(QStringLiteral("dbpath"), QLatin1String(tevrikDefaultDbPath));
    // The INI format splits an unquoted value at its commas, as the daemon knows too.
    if (value.userType() == QMetaType::QStringList) {
        error = QStringLiteral("Invalid dbpath \"%1\" in \"%2\": a path with a comma must be in double quotes")
                    .arg(value.toStringList().join(QLatin1Char(',')), configPath);
        return false;
    }
    dbPath = value.toString();
    if (dbPath.isEmpty()) {
        error = QStringLiteral("Invalid dbpath \"\" in \"%1\": the database needs a file path").arg(configPath);
        return false;
    }
    return true;
}

bool readTime(const CliArg& option, qint64 nowMs, std::optional<qint64>& time, QString& error)
{
    if (!option.isPresent())
        return true;
    const QString text = option.value().toString();
    time = parseTime(text, nowMs);
    if (!time)
        error = QStringLiteral("Invalid time \"%1\" for --%2: expected %3")
                    .arg(text, option.names().constFirst(), QLatin1String(timeForms));
    return time.has_value();
}

bool readMatches(const CliMultiArg& option, QVector<ColumnMatch>& matches, QString& error)
{
    const QStringList columns = matchableColumns();
    for (const QVariant& item : option.value().toList()) {
        const QString text = item.toString();
        const int equals = text.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            error = QStringLiteral("Invalid match \"%1\": expected COLUMN=VALUE").arg(text);
            return false;
        }
        const QString column = text.left(equals);
        const QString valueText = text.mid(equals + 1);
        if (!columns.contains(column)) {
            error = QStringLiteral("Unknown column \"%1\"; the columns are: %2")
                        .arg(column, columns.join(QLatin1String(", ")));
            return false;
        }
        QVariant value = valueText;
        if (column == QLatin1String("recordNumber")) {
            bool ok = false;
            // Stored with the bits of the unsigned number.
            value = static_cast<qlonglong>(valueText.toULongLong(&ok));
            if (!ok) {
                error = QStringLiteral("Invalid value \"%1\" for column %2: expected an unsigned integer")
                            .arg(valueText, column);
                return false;
            }
        } else if (columns.indexOf(column) < 3) {
            bool ok = false;
            value = valueText.toLongLong(&ok);
            if (!ok) {
                error = QStringLiteral("Invalid value \"%1\" for column %2: expected an integer").arg(valueText, column);
                return false;
            }
        }
        auto same = std::find_if(matches.begin(), matches.end(),
                                 [&column](const ColumnMatch& match) { return match.column == column; });
        if (same == matches.end())
            matches.append(ColumnMatch{column, {value}});
        else
            same->values << value;
    }
    return true;
}

bool readGrep(const CliArg& option, QRegularExpression& grep, QString& error)
{
    if (!option.isPresent())
        return true;
    const QString pattern = option.value().toString();
    const bool hasCapital = std::any_of(pattern.cbegin(), pattern.cend(), [](QChar c) { return c.isUpper(); });
    grep = QRegularExpression(pattern, hasCapital ? QRegularExpression::NoPatternOption
                                                  : QRegularExpression::CaseInsensitiveOption);
    if (!grep.isValid()) {
        error = QStringLiteral("Invalid regular expression \"%1\": %2 at offset %3")
                    .arg(pattern, grep.errorString())
                    .arg(grep.patternErrorOffset());
        return false;
    }
    return true;
}

// The output and its first failure: once one write fails, nothing more is written.
class Output
{
public:
    explicit Output(std::FILE* out)
        : m_out(out)
    {
    }

    // Writes the buffered output once it is large enough, or always when forced; false once writing failed.
    bool write(QByteArray& buffer, bool force)
    {
        if (m_errno != 0 || (buffer.size() < outputChunkBytes && !force))
            return m_errno == 0;
        errno = 0;
        const size_t size = static_cast<size_t>(buffer.size());
        if (std::fwrite(buffer.constData(), 1, size, m_out) != size || (force && std::fflush(m_out) != 0))
            m_errno = errno != 0 ? errno : EIO;
        buffer.clear();
        return m_errno == 0;
    }

    // The exit status after a failed write: a reader that stopped reading early (a closed pipe) ends the
    // output quietly, as the standard tools do; anything else is an error.
    int failureStatus() const
    {
        if (m_errno == EPIPE)
            return 0;
        writeError(QStringLiteral("Cannot write the output: %1").arg(QString::fromLocal8Bit(std::strerror(m_errno))));
        return 1;
    }

private:
    std::FILE* m_out;
    int m_errno = 0;
};

int printStats(const ReaderRequest& request, EventReader& reader, EventStore& store, std::FILE* out)
{
    std::array<std::optional<QVector<TableStats>>, eventTableCount> stats;
    if (!reader.stats(stats)) {
        writeError(store.errorString());
        return 1;
    }
    EventFormatter formatter(EventFormatter::Format::Short, request.selection, false);
    const auto timeText = [&formatter](const std::optional<qint64>& time) {
        QByteArray text;
        if (time)
            formatter.appendTime(*time, text);
        else
            text = "-";
        return QString::fromLatin1(text);
    };
    // How long ago the oldest unsent row was stamped, in whole seconds; a sender's clock ahead makes no negative age.
    const auto ageText = [&request](const std::optional<qint64>& time) {
        return time ? QStringLiteral("%1 s").arg(qMax<qint64>(0, request.nowMs - *time) / 1000) : QStringLiteral("-");
    };
    // A store of many hosts has a line per type and host; which of its rows are unsent only each host knows.
    const bool hosts = store.hasHosts();
    QList<QStringList> rows;
    if (hosts)
        rows << QStringList{QStringLiteral("TYPE"), QStringLiteral("HOST"), QStringLiteral("EVENTS"),
                            QStringLiteral("FIRST"), QStringLiteral("LAST")};
    else
        rows << QStringList{QStringLiteral("TYPE"), QStringLiteral("EVENTS"), QStringLiteral("UNSENT"),
                            QStringLiteral("AGE"), QStringLiteral("FIRST"), QStringLiteral("LAST")};
    // The columns of numbers, right-aligned, lie between the type (and host) and the times.
    const int firstNumber = hosts ? 2 : 1;
    const int firstTime = hosts ? 3 : 4;
    for (int t = 0; t < eventTableCount; ++t) {
        const std::optional<QVector<TableStats>>& tables = stats[static_cast<size_t>(t)];
        if (!tables)
            continue;
        const QString type = QLatin1String(eventTables()[static_cast<size_t>(t)].type);
        for (const TableStats& table : *tables) {
            if (hosts)
                rows << QStringList{type, QString::fromUtf8(table.host), QString::number(table.rows),
                                    timeText(table.first), timeText(table.last)};
            else
                rows << QStringList{type,
                                    QString::number(table.rows),
                                    QString::number(table.unsent),
                                    ageText(table.oldestUnsent),
                                    timeText(table.first),
                                    timeText(table.last)};
        }
        if (tables->isEmpty())
            rows << QStringList{type, QStringLiteral("-"), QStringLiteral("0"), timeText({}), timeText({})};
    }
    const int columns = rows.first().size();
    QVector<int> widths(columns, 0);
    for (const QStringList& row : rows) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row.at(c).size());
    }
    QByteArray text;
    for (const QStringList& row : rows) {
        QString line = row.at(0).leftJustified(widths[0]);
        for (int c = 1; c < columns - 1; ++c) {
            line += QLatin1String("  ");
            line += c >= firstNumber && c < firstTime ? row.at(c).rightJustified(widths[c])
                                                      : row.at(c).leftJustified(widths[c]);
        }
        line += QLatin1String("  ") + row.at(columns - 1);
        text += line.toUtf8() + '\n';
    }
    for (const QString& line : store.sizeOnDisk())
        text += line.toUtf8() + '\n';
    Output output(out);
    return output.write(text, true) ? 0 : output.failureStatus();
}

// Waits for intervalMs; true when SIGINT or SIGTERM arrived, which are blocked while following.
bool stopRequested(const sigset_t& stopSignals, int intervalMs)
{
    const struct timespec interval = {intervalMs / 1000, (intervalMs % 1000) * 1000L * 1000L};
    return sigtimedwait(&stopSignals, nullptr, &interval) > 0;
}

// Whether SIGINT or SIGTERM waits, blocked, to be taken.
bool stopPending()
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

} // namespace

bool makeRequest(const ReaderOptions& options, qint64 nowMs, ReaderRequest& request, QString& error)
{
    if (options.master.isPresent()) {
        // One source of rows: a local database named as well is a mistake, not a choice to guess.
        for (const CliArg* local : {&options.database, &options.configFile}) {
            if (local->isPresent()) {
                error = QStringLiteral("--master and --%1 cannot be combined").arg(local->names().constFirst());
                return false;
            }
        }
        request.master = options.master.value().toString();
    } else if (options.host.isPresent()) {
        error = QStringLiteral("--host needs --master: a local database holds the events of its own host only");
        return false;
    } else if (!readDbPath(options, request.dbPath, error)) {
        return false;
    }
    Selection& selection = request.selection;
    for (const QVariant& item : options.host.value().toList())
        selection.hosts << item.toString();
    if (options.type.isPresent()) {
        selection.tables.fill(false);
        for (const QVariant& item : options.type.value().toList()) {
            const int table = tableOfType(item.toString());
            if (table < 0) {
                error = QStringLiteral("Unknown type \"%1\"; the types are: %2")
                            .arg(item.toString(), QString::fromStdString(senderTypeList()));
                return false;
            }
            selection.tables[static_cast<size_t>(table)] = true;
        }
    }
    if (!readTime(options.since, nowMs, selection.since, error) || !readTime(options.until, nowMs, selection.until, error)
        || !readMatches(options.match, selection.matches, error) || !readGrep(options.grep, selection.grep, error))
        return false;
    if (options.lines.isPresent()) {
        bool ok = false;
        const QString text = options.lines.value().toString();
        const qint64 lines = text.toLongLong(&ok);
        if (!ok || lines < 0) {
            error = QStringLiteral("Invalid number of lines \"%1\": expected a whole number from 0").arg(text);
            return false;
        }
        request.lines = lines;
    }
    if (options.output.isPresent()) {
        const auto format = EventFormatter::formatOf(options.output.value().toString());
        if (!format) {
            error = QStringLiteral("Unknown output format \"%1\"; the formats are: %2")
                        .arg(options.output.value().toString(), EventFormatter::formatNames().join(QLatin1String(", ")));
            return false;
        }
        request.format = *format;
    }
    request.reverse = options.reverse.isPresent();
    request.follow = options.follow.isPresent();
    request.stats = options.stats.isPresent();
    request.nowMs = nowMs;
    if (request.follow && request.reverse) {
        error = QStringLiteral("--follow and --reverse cannot be combined");
        return false;
    }
    if (request.stats && (request.follow || request.reverse || request.lines || options.output.isPresent())) {
        error = QStringLiteral("--stats cannot be combined with --follow, --lines, --reverse or --output");
        return false;
    }
    if (request.follow && !request.lines)
        request.lines = 10;
    return true;
}

int runRequest(const ReaderRequest& request, EventStore& store, std::FILE* out)
{
    EventReader reader(store, request.selection);
    if (request.stats)
        return printStats(request, reader, store, out);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked before the first read, so that a stop request is always taken by the wait between polls, and
    // ends a statement that waits for a lock or the master.
    if (request.follow) {
        sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
        store.setStopCheck(stopPending);
    }

    EventFormatter formatter(request.format, request.selection, store.hasHosts());
    QByteArray buffer;
    Output output(out);
    // No header either when nothing matches.
    bool headerWritten = false;
    const EventReader::Sink sink = [&](const EventRow& row) {
        if (!headerWritten) {
            buffer += formatter.header();
            headerWritten = true;
        }
        formatter.append(row, buffer);
        return output.write(buffer, false);
    };
    const bool selected = reader.select(request.lines, request.reverse, request.follow, sink);
    if (!output.write(buffer, true))
        return output.failureStatus();
    if (!selected) {
        if (request.follow && stopPending())
            return 0;
        writeError(store.errorString());
        return 1;
    }
    if (!request.follow)
        return 0;
    // While the connection is lost, the delay between attempts grows up to maxRetryDelayMs; 0 while connected.
    int retryDelayMs = 0;
    while (!stopRequested(stopSignals, retryDelayMs > 0 ? retryDelayMs : store.pollIntervalMs())) {
        const bool polled = reader.poll(sink);
        if (!output.write(buffer, true))
            return output.failureStatus();
        if (!polled && stopPending())
            return 0;
        if (polled) {
            if (retryDelayMs > 0)
                writeAlways(QtInfoMsg, QStringLiteral("The connection is back; reading on"));
            retryDelayMs = 0;
            continue;
        }
        if (!store.connectionLost()) {
            writeError(store.errorString());
            return 1;
        }
        if (retryDelayMs == 0)
            writeAlways(QtWarningMsg,
                        QStringLiteral("%1; trying again until the connection is back").arg(store.errorString()));
        retryDelayMs = std::min(std::max(2 * retryDelayMs, store.pollIntervalMs()), maxRetryDelayMs);
    }
    return 0;
}
