#include "summaries.h"

#include "eventreader.h"
#include "logreader.h"
#include "programmessagehandler.h"
#include "readeroutput.h"
#include "timeparser.h"

#include <algorithm>
#include <functional>

namespace {

// Intervals of a histogram at most: a longer one asks more lines than anyone reads.
constexpr qint64 maxIntervals = 1000000;
// A bar is at least this wide, however narrow the terminal.
constexpr int minBarColumns = 10;

qint64 floorDiv(qint64 value, qint64 divisor)
{
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

// Rows of cells as lines, the columns two spaces apart; the right-aligned ones padded on the left, the last
// left-aligned one not padded.
QByteArray tableText(const QList<QStringList>& rows, const std::function<bool(int column)>& rightAligned)
{
    QVector<int> widths;
    for (const QStringList& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row.at(c).size());
    }
    QByteArray text;
    for (const QStringList& row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c) {
            if (c > 0)
                line += QLatin1String("  ");
            if (rightAligned(c))
                line += row.at(c).rightJustified(widths[c]);
            else
                line += c + 1 < row.size() ? row.at(c).leftJustified(widths[c]) : row.at(c);
        }
        text += line.toUtf8() + '\n';
    }
    return text;
}

QByteArray jsonTime(const std::optional<qint64>& time)
{
    return time ? QByteArray::number(*time) : QByteArray("null");
}

QString typeName(int table)
{
    return QLatin1String(eventTables()[static_cast<size_t>(table)].type);
}

int printStats(const ReaderRequest& request, EventReader& reader, EventStore& store, QByteArray& text)
{
    std::array<std::optional<QVector<TableStats>>, eventTableCount> stats;
    if (!reader.stats(stats)) {
        writeError(store.errorString());
        return 1;
    }
    EventFormatter formatter(request.format, request.selection, false, request.utc);
    const auto timeText = [&formatter](const std::optional<qint64>& time) {
        QByteArray written;
        if (time)
            formatter.appendTime(*time, written);
        else
            written = "-";
        return QString::fromLatin1(written);
    };
    // How long ago the oldest unsent row was stamped, in whole seconds; a sender's clock ahead makes no negative age.
    const auto age = [&request](const std::optional<qint64>& time) {
        return time ? std::optional<qint64>(qMax<qint64>(0, request.nowMs - *time) / 1000) : std::nullopt;
    };
    // A store of many hosts has a line per type and host; which of its rows are unsent only each host knows.
    const bool hosts = store.hasHosts();
    if (request.format == EventFormatter::Format::Json) {
        for (int t = 0; t < eventTableCount; ++t) {
            const std::optional<QVector<TableStats>>& tables = stats[static_cast<size_t>(t)];
            if (!tables)
                continue;
            const QByteArray type = "{\"type\":\"" + typeName(t).toLatin1() + '"';
            for (const TableStats& table : *tables) {
                text += type;
                if (hosts) {
                    text += ",\"host\":";
                    appendJsonString(table.host, text);
                }
                text += ",\"events\":" + QByteArray::number(table.rows);
                if (!hosts)
                    text += ",\"unsent\":" + QByteArray::number(table.unsent) + ",\"age\":" + jsonTime(age(table.oldestUnsent));
                text += ",\"first\":" + jsonTime(table.first) + ",\"last\":" + jsonTime(table.last) + "}\n";
            }
            if (tables->isEmpty())
                text += type + ",\"events\":0,\"first\":null,\"last\":null}\n";
        }
        text += store.sizeOnDiskJson() + '\n';
        return 0;
    }
    QList<QStringList> rows;
    if (hosts)
        rows << QStringList{QStringLiteral("TYPE"), QStringLiteral("HOST"), QStringLiteral("EVENTS"),
                            QStringLiteral("FIRST"), QStringLiteral("LAST")};
    else
        rows << QStringList{QStringLiteral("TYPE"), QStringLiteral("EVENTS"), QStringLiteral("UNSENT"),
                            QStringLiteral("AGE"), QStringLiteral("FIRST"), QStringLiteral("LAST")};
    for (int t = 0; t < eventTableCount; ++t) {
        const std::optional<QVector<TableStats>>& tables = stats[static_cast<size_t>(t)];
        if (!tables)
            continue;
        for (const TableStats& table : *tables) {
            const std::optional<qint64> seconds = age(table.oldestUnsent);
            if (hosts)
                rows << QStringList{typeName(t), QString::fromUtf8(table.host), QString::number(table.rows),
                                    timeText(table.first), timeText(table.last)};
            else
                rows << QStringList{typeName(t),
                                    QString::number(table.rows),
                                    QString::number(table.unsent),
                                    seconds ? QStringLiteral("%1 s").arg(*seconds) : QStringLiteral("-"),
                                    timeText(table.first),
                                    timeText(table.last)};
        }
        if (tables->isEmpty())
            rows << QStringList{typeName(t), QStringLiteral("-"), QStringLiteral("0"), timeText({}), timeText({})};
    }
    // The columns of numbers lie between the type (and host) and the times.
    text += tableText(rows, [hosts](int c) { return c >= (hosts ? 2 : 1) && c < (hosts ? 3 : 4); });
    for (const QString& line : store.sizeOnDisk())
        text += line.toUtf8() + '\n';
    return 0;
}

int printFields(const ReaderRequest& request, EventReader& reader, EventStore& store, QByteArray& text)
{
    const QString& column = *request.field;
    QMap<QByteArray, qint64> counts;
    if (!reader.fieldCounts(column, counts)) {
        writeError(store.errorString());
        return 1;
    }
    QVector<std::pair<qint64, QByteArray>> ordered;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        ordered.append({it.value(), it.key()});
    // Most frequent first, ties by value; the map gave the values in order already.
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    const bool number = column == QLatin1String("time") || column == QLatin1String("rowID")
                        || column == QLatin1String("sentToMasterDB") || column == QLatin1String("recordNumber");
    const int width = ordered.isEmpty() ? 0 : QByteArray::number(ordered.first().first).size();
    for (const auto& [count, value] : qAsConst(ordered)) {
        if (request.format == EventFormatter::Format::Json) {
            text += "{\"count\":" + QByteArray::number(count) + ",\"" + column.toLatin1() + "\":";
            if (number)
                text += value;
            else
                appendJsonString(value, text);
            text += "}\n";
        } else {
            text += QByteArray::number(count).rightJustified(width) + ' ';
            appendLogfmtValue(value, text);
            text += '\n';
        }
    }
    return 0;
}

// Appends a bar of eighths of a block: width columns for the largest count, at least an eighth for any count.
void appendBar(qint64 count, qint64 largest, int width, QByteArray& out)
{
    static const char* const eighths[] = {"", "\u258F", "\u258E", "\u258D", "\u258C", "\u258B", "\u258A", "\u2589"};
    if (count <= 0 || largest <= 0)
        return;
    const qint64 length = std::max<qint64>(1, count * width * 8 / largest);
    for (qint64 i = 0; i < length / 8; ++i)
        out += "\u2588";
    out += eighths[length % 8];
}

int printHistogram(const ReaderRequest& request, EventReader& reader, EventStore& store, QByteArray& text)
{
    const Selection& selection = request.selection;
    const qint64 interval = *request.histogramMs;
    std::optional<qint64> first;
    std::optional<qint64> last;
    if (!reader.timeSpan(first, last)) {
        writeError(store.errorString());
        return 1;
    }
    // The selected window, or the span of its events where it is open; up to now at least.
    const std::optional<qint64> start = selection.since ? selection.since : first;
    const qint64 end = selection.until ? *selection.until : std::max(request.nowMs, last.value_or(request.nowMs));
    if (!start || end < *start)
        return 0;
    // The first interval begins at a multiple of its length in the time printed: 1h at a full hour.
    const qint64 offset = utcOffsetAt(*start, request.utc);
    const qint64 origin = floorDiv(*start + offset, interval) * interval - offset;
    const qint64 intervals = (end - origin) / interval + 1;
    if (intervals > maxIntervals) {
        writeError(QStringLiteral("--histogram of %1 ms makes %2 intervals of the window, more than %3: choose a "
                                  "longer interval or a shorter window")
                       .arg(interval)
                       .arg(intervals)
                       .arg(maxIntervals));
        return 1;
    }
    std::array<QMap<qint64, qint64>, eventTableCount> counts;
    if (!reader.histogram(origin, interval, counts)) {
        writeError(store.errorString());
        return 1;
    }
    QVector<int> tables;
    for (int t = 0; t < eventTableCount; ++t) {
        if (selection.coversTable(t))
            tables << t;
    }
    EventFormatter formatter(request.format, selection, false, request.utc);
    if (request.format == EventFormatter::Format::Json) {
        for (qint64 i = 0; i < intervals; ++i) {
            text += "{\"time\":" + QByteArray::number(origin + i * interval);
            for (const int t : qAsConst(tables))
                text += ",\"" + typeName(t).toLatin1() + "\":" + QByteArray::number(counts[static_cast<size_t>(t)].value(i));
            text += "}\n";
        }
        return 0;
    }
    QList<QStringList> rows{QStringList{QStringLiteral("TIME")}};
    for (const int t : qAsConst(tables))
        rows.first() << typeName(t);
    QVector<qint64> totals(static_cast<int>(intervals), 0);
    for (qint64 i = 0; i < intervals; ++i) {
        QByteArray time;
        formatter.appendTime(origin + i * interval, time);
        QStringList row{QString::fromLatin1(time)};
        for (const int t : qAsConst(tables)) {
            const qint64 count = counts[static_cast<size_t>(t)].value(i);
            row << QString::number(count);
            totals[static_cast<int>(i)] += count;
        }
        rows << row;
    }
    const QByteArray table = tableText(rows, [](int c) { return c > 0; });
    // The bars fill what the counts leave of the terminal's width.
    const int used = table.indexOf('\n') >= 0 ? QString::fromUtf8(table.left(table.indexOf('\n'))).size() : 0;
    const int barColumns = std::max(minBarColumns, request.columns - used - 2);
    const qint64 largest = totals.isEmpty() ? 0 : *std::max_element(totals.cbegin(), totals.cend());
    const QList<QByteArray> lines = table.split('\n');
    for (int i = 0; i < rows.size(); ++i) {
        text += lines.at(i);
        if (i > 0 && totals[i - 1] > 0) {
            text += "  ";
            appendBar(totals[i - 1], largest, barColumns, text);
        }
        text += '\n';
    }
    return 0;
}

} // namespace

int printSummary(const ReaderRequest& request, EventReader& reader, EventStore& store, std::FILE* out)
{
    QByteArray text;
    const int status = request.stats   ? printStats(request, reader, store, text)
                       : request.field ? printFields(request, reader, store, text)
                                       : printHistogram(request, reader, store, text);
    if (status != 0)
        return status;
    ReaderOutput output(out);
    return output.write(text, true) ? 0 : output.failureStatus();
}
