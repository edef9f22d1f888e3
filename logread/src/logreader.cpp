#include "logreader.h"

#include "configsections.h"
#include "eventreader.h"
#include "eventstore.h"
#include "programmessagehandler.h"
#include "readcursor.h"
#include "readeroptions.h"
#include "readeroutput.h"
#include "summaries.h"
#include "tevrikdefaults.h"
#include "timeparser.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

// The longest wait between attempts to reach a store whose connection was lost.
constexpr int maxRetryDelayMs = 10000;

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
    if (!configFileReadable(configPath)) {
        error = unreadableConfigFileError(configPath);
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

bool readTime(const CliArg& option, qint64 nowMs, bool utc, std::optional<qint64>& time, QString& error)
{
    if (!option.isPresent())
        return true;
    const QString text = option.value().toString();
    TimeError problem = TimeError::None;
    time = parseTime(text, nowMs, utc, &problem);
    if (problem == TimeError::SkippedLocalTime)
        error = QStringLiteral("Invalid time \"%1\" for --%2: the local clocks skip it, as they are put forward")
                    .arg(text, option.names().constFirst());
    else if (!time)
        error = QStringLiteral("Invalid time \"%1\" for --%2: expected %3")
                    .arg(text, option.names().constFirst(), QLatin1String(timeForms));
    return time.has_value();
}

// The selected types that have the column, by name.
QStringList typesWithColumn(const Selection& selection, const QString& column, bool selectedOnly)
{
    QStringList types;
    for (int t = 0; t < eventTableCount; ++t) {
        if ((!selectedOnly || selection.tables[static_cast<size_t>(t)]) && Selection::tableHasColumn(t, column))
            types << QLatin1String(eventTables()[static_cast<size_t>(t)].type);
    }
    return types;
}

// An error unless one of the selected types has each of the columns, and one has all of them.
bool checkColumns(const Selection& selection, const QStringList& columns, QString& error)
{
    for (const QString& column : columns) {
        if (typesWithColumn(selection, column, true).isEmpty()) {
            error = QStringLiteral("No selected type has the column %1; the types with it are: %2")
                        .arg(column, typesWithColumn(selection, column, false).join(QLatin1String(", ")));
            return false;
        }
    }
    for (int t = 0; t < eventTableCount; ++t) {
        if (selection.tables[static_cast<size_t>(t)]
            && std::all_of(columns.cbegin(), columns.cend(),
                           [t](const QString& column) { return Selection::tableHasColumn(t, column); }))
            return true;
    }
    error = QStringLiteral("No selected type has all of the columns %1").arg(columns.join(QLatin1String(", ")));
    return false;
}

// The cursor that the read starts after: the one given, or the one in the cursor file when it exists.
bool readAfterCursor(const ReaderOptions& options, ReaderRequest& request, QString& error)
{
    QString text;
    QString origin;
    if (options.afterCursor.isPresent()) {
        text = options.afterCursor.value().toString();
        origin = QStringLiteral("for --after-cursor");
    } else if (request.cursorFile && QFileInfo::exists(*request.cursorFile)) {
        QFile file(*request.cursorFile);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("Cannot read cursor file \"%1\": %2").arg(*request.cursorFile, file.errorString());
            return false;
        }
        text = QString::fromUtf8(file.readAll()).trimmed();
        origin = QStringLiteral("in \"%1\"").arg(*request.cursorFile);
    } else {
        return true;
    }
    QString problem;
    request.selection.after = parseCursor(text, request.master.has_value(), problem);
    if (!request.selection.after)
        error = QStringLiteral("Invalid cursor %1: %2").arg(origin, problem);
    return request.selection.after.has_value();
}

// Refuses the options that a summary or following cannot take.
bool checkCombinations(const ReaderOptions& options, const ReaderRequest& request, QString& error)
{
    const QList<const CliArg*> summaries{&options.stats, &options.field, &options.histogram};
    const auto given = [](const QList<const CliArg*>& list) {
        QStringList names;
        for (const CliArg* option : list) {
            if (option->isPresent())
                names << QStringLiteral("--") + option->names().constFirst();
        }
        return names;
    };
    const QStringList summary = given(summaries);
    const QStringList cursorWriters = given({&options.showCursor, &options.cursorFile});
    if (options.afterCursor.isPresent() && options.cursorFile.isPresent())
        error = QStringLiteral("--after-cursor and --cursor-file cannot be combined");
    else if (summary.size() > 1)
        error = QStringLiteral("%1 cannot be combined").arg(summary.join(QLatin1String(" and ")));
    else if (!summary.isEmpty() && (request.follow || request.reverse || request.lines))
        error = QStringLiteral("%1 cannot be combined with --follow, --lines or --reverse").arg(summary.first());
    else if (!summary.isEmpty() && !cursorWriters.isEmpty())
        error = QStringLiteral("%1 cannot be combined with %2").arg(summary.first(), cursorWriters.first());
    else if (!summary.isEmpty() && request.format == EventFormatter::Format::Csv)
        error = QStringLiteral("%1 writes short, short-iso or json, not csv").arg(summary.first());
    else if (request.follow && !cursorWriters.isEmpty())
        error = QStringLiteral("--follow cannot be combined with %1").arg(cursorWriters.first());
    else if (request.follow && request.reverse)
        error = QStringLiteral("--follow and --reverse cannot be combined");
    return error.isEmpty();
}

// Writes the cursor to the file through a temporary one, so that a failure leaves the old cursor whole.
bool writeCursorFile(const QString& path, const QString& cursor)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(cursor.toUtf8() + '\n') < 0 || !file.commit()) {
        writeError(QStringLiteral("Cannot write cursor file \"%1\": %2").arg(path, file.errorString()));
        return false;
    }
    return true;
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
    request.utc = options.utc.isPresent();
    if (!readTime(options.since, nowMs, request.utc, selection.since, error)
        || !readTime(options.until, nowMs, request.utc, selection.until, error)
        || !readMatches(options.match, selection.matches, error) || !readGrep(options.grep, selection.grep, error))
        return false;
    if (selection.since && selection.until && *selection.since > *selection.until) {
        error = QStringLiteral("--since \"%1\" is later than --until \"%2\"")
                    .arg(options.since.value().toString(), options.until.value().toString());
        return false;
    }
    QStringList matched;
    for (const ColumnMatch& match : qAsConst(selection.matches))
        matched << match.column;
    if (!matched.isEmpty() && !checkColumns(selection, matched, error))
        return false;
    if (options.field.isPresent()) {
        const QString column = options.field.value().toString();
        if (column == QLatin1String("hostname") && !request.master) {
            error = QStringLiteral("--field hostname needs --master: a local database holds the events of its own "
                                   "host only");
            return false;
        }
        if (column != QLatin1String("hostname") && !matchableColumns().contains(column)) {
            error = QStringLiteral("Unknown column \"%1\" for --field; the columns are: %2")
                        .arg(column, matchableColumns().join(QLatin1String(", ")));
            return false;
        }
        if (!checkColumns(selection, matched << column, error))
            return false;
        request.field = column;
    }
    if (options.histogram.isPresent()) {
        request.histogramMs = parseInterval(options.histogram.value().toString());
        if (!request.histogramMs) {
            error = QStringLiteral("Invalid interval \"%1\" for --histogram: expected a whole number with s, min, h, "
                                   "d or w, such as 1h")
                        .arg(options.histogram.value().toString());
            return false;
        }
    }
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
    request.pager = !options.noPager.isPresent();
    request.showCursor = options.showCursor.isPresent();
    if (options.cursorFile.isPresent())
        request.cursorFile = options.cursorFile.value().toString();
    request.nowMs = nowMs;
    if (!checkCombinations(options, request, error) || !readAfterCursor(options, request, error))
        return false;
    if (request.follow && !request.lines)
        request.lines = 10;
    return true;
}

int runRequest(const ReaderRequest& request, EventStore& store, std::FILE* out)
{
    EventReader reader(store, request.selection);
    if (request.summary())
        return printSummary(request, reader, store, out);

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

    EventFormatter formatter(request.format, request.selection, store.hasHosts(), request.utc);
    QByteArray buffer;
    ReaderOutput output(out);
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
    const bool cursor = request.showCursor || request.cursorFile;
    StorePositions viewEnd;
    const bool selected =
        reader.select(request.lines, request.reverse, request.follow, sink, cursor ? &viewEnd : nullptr);
    if (!output.write(buffer, true))
        return output.failureStatus();
    if (!selected) {
        if (request.follow && stopPending())
            return 0;
        writeError(store.errorString());
        return 1;
    }
    if (cursor) {
        // Written only once every selected row is out, so that a run cut short is repeated, never skipped.
        const QString text = cursorText(viewEnd, store.hasHosts());
        if (request.showCursor) {
            buffer = "-- cursor: " + text.toUtf8() + '\n';
            if (!output.write(buffer, true))
                return output.failureStatus();
        }
        return request.cursorFile && !writeCursorFile(*request.cursorFile, text) ? 1 : 0;
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
