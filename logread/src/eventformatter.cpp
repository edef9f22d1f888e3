#include "eventformatter.h"

#include "storedtext.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

namespace {

enum class Escape { Short, Json, Quoted };

const char hexDigits[] = "0123456789abcdef";

void appendHex(unsigned value, int digits, QByteArray& out)
{
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out += hexDigits[(value >> shift) & 0xF];
}

// Short: control characters as \n, \t, \r, \e or \xHH so that a row stays on one line and cannot drive the
// terminal; C1 controls as \u00HH. Quoted: the same, and " and \\ escaped, for a value in double quotes.
// Json: as JSON requires, plus DEL and C1 controls as \u escapes. In all, bytes that are no UTF-8 become U+FFFD.
void appendEscaped(const QByteArray& text, Escape mode, QByteArray& out)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.constData());
    const int size = text.size();
    for (int i = 0; i < size;) {
        const unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F) {
            if (mode != Escape::Short && (c == '"' || c == '\\'))
                out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x80) {
            const char* named = nullptr;
            switch (c) {
            case '\n':
                named = "\\n";
                break;
            case '\t':
                named = "\\t";
                break;
            case '\r':
                named = "\\r";
                break;
            case 0x1B:
                named = mode != Escape::Json ? "\\e" : nullptr;
                break;
            default:
                break;
            }
            if (named) {
                out += named;
            } else if (mode != Escape::Json) {
                out += "\\x";
                appendHex(c, 2, out);
            } else {
                out += "\\u";
                appendHex(c, 4, out);
            }
            ++i;
            continue;
        }
        int length = 0;
        unsigned codePoint = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            codePoint = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            codePoint = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            codePoint = c & 0x07;
        }
        bool valid = length > 0 && i + length <= size;
        for (int k = 1; valid && k < length; ++k) {
            valid = (bytes[i + k] & 0xC0) == 0x80;
            codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
        }
        valid = valid && !(length == 3 && (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF)))
                && !(length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF));
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (codePoint < 0xA0) {
            out += "\\u";
            appendHex(codePoint, 4, out);
            i += length;
        } else {
            out.append(text.constData() + i, length);
            i += length;
        }
    }
}

} // namespace

void appendLogfmtValue(const QByteArray& text, QByteArray& out)
{
    // Bare only when the text is written as it is stored and holds nothing that separates or quotes a field.
    const int start = out.size();
    appendEscaped(text, Escape::Short, out);
    const bool bare = !text.isEmpty() && out.size() - start == text.size()
                      && std::none_of(text.cbegin(), text.cend(), [](char c) { return c == ' ' || c == '=' || c == '"'; })
                      && std::string_view(out.constData() + start, std::size_t(text.size()))
                             == std::string_view(text.constData(), std::size_t(text.size()));
    if (bare)
        return;
    out.truncate(start);
    out += '"';
    appendEscaped(text, Escape::Quoted, out);
    out += '"';
}

void appendJsonString(const QByteArray& text, QByteArray& out)
{
    out += '"';
    appendEscaped(text, Escape::Json, out);
    out += '"';
}

namespace {

// Csv carries the text as it is, in valid UTF-8 and without NUL bytes: as the master holds it, bytes that are
// no UTF-8 and NUL become U+FFFD; other control characters stay, in a quoted field where RFC 4180 needs one.
void appendCsvField(const QByteArray& stored, QByteArray& out)
{
    std::string scratch;
    bool altered = false;
    const std::string_view view =
        masterText(std::string_view(stored.constData(), std::size_t(stored.size())), scratch, &altered);
    const QByteArray text = altered ? QByteArray(view.data(), int(view.size())) : stored;
    const bool quoted = text.contains(',') || text.contains('"') || text.contains('\n') || text.contains('\r');
    if (!quoted) {
        out += text;
        return;
    }
    out += '"';
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}

qint64 floorDiv(qint64 value, qint64 divisor)
{
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

void appendDigits(int value, int digits, QByteArray& out)
{
    char buffer[4];
    for (int i = digits - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, digits);
}

} // namespace

std::optional<EventFormatter::Format> EventFormatter::formatOf(const QString& name)
{
    const QStringList names = formatNames();
    const int index = names.indexOf(name);
    if (index < 0)
        return std::nullopt;
    return static_cast<Format>(index);
}

QStringList EventFormatter::formatNames()
{
    return {QStringLiteral("short"), QStringLiteral("short-iso"), QStringLiteral("json"), QStringLiteral("csv")};
}

EventFormatter::EventFormatter(Format format, const Selection& selection, bool showHost, bool utc)
    : m_format(format)
    , m_showHost(showHost)
    , m_utc(utc)
    , m_cachedMinute(std::numeric_limits<qint64>::min())
{
    m_csvColumns = QStringList{QStringLiteral("time"), QStringLiteral("type"), QStringLiteral("rowID")};
    if (m_showHost)
        m_csvColumns.insert(2, QStringLiteral("host"));
    m_csvPositions.resize(eventTableCount);
    for (int t = 0; t < eventTableCount; ++t) {
        if (!selection.coversTable(t))
            continue;
        const EventTable& table = eventTables()[static_cast<size_t>(t)];
        for (int c = 0; c < table.columnCount; ++c) {
            const QString name = QLatin1String(table.columns[c].name);
            if (!m_csvColumns.contains(name))
                m_csvColumns << name;
            m_csvPositions[t] << m_csvColumns.indexOf(name);
        }
    }
    m_csvColumns << QStringLiteral("sentToMasterDB");
}

QByteArray EventFormatter::header() const
{
    if (m_format != Format::Csv)
        return QByteArray();
    return m_csvColumns.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

void EventFormatter::append(const EventRow& row, QByteArray& out)
{
    switch (m_format) {
    case Format::Short:
    case Format::ShortIso:
        appendShort(row, out);
        break;
    case Format::Json:
        appendJson(row, out);
        break;
    case Format::Csv:
        appendCsv(row, out);
        break;
    }
}

void EventFormatter::appendTime(qint64 ms, QByteArray& out)
{
    const qint64 minute = floorDiv(ms, 60000);
    if (minute != m_cachedMinute) {
        const time_t seconds = static_cast<time_t>(minute * 60);
        struct tm local = {};
        if (m_utc)
            gmtime_r(&seconds, &local);
        else
            localtime_r(&seconds, &local);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d%c%02d:%02d:", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, m_format == Format::ShortIso ? 'T' : ' ', local.tm_hour, local.tm_min);
        m_minutePrefix = buffer;
        const long offsetMinutes = local.tm_gmtoff / 60;
        const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        std::snprintf(buffer, sizeof buffer, "%c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+', absolute / 60,
                      absolute % 60);
        m_offset = buffer;
        m_cachedMinute = minute;
    }
    const int inMinute = static_cast<int>(ms - minute * 60000);
    out += m_minutePrefix;
    appendDigits(inMinute / 1000, 2, out);
    out += '.';
    appendDigits(inMinute % 1000, 3, out);
    if (m_format == Format::ShortIso)
        out += m_offset;
}

void EventFormatter::appendShort(const EventRow& row, QByteArray& out)
{
    const EventTable& table = eventTables()[static_cast<size_t>(row.table)];
    appendTime(row.time, out);
    out += ' ';
    if (m_showHost) {
        appendEscaped(row.host, Escape::Short, out);
        out += ' ';
    }
    out += table.type;
    for (int c = 0; c < table.columnCount; ++c) {
        out += ' ';
        out += table.columns[c].name;
        out += '=';
        appendLogfmtValue(row.values[static_cast<size_t>(c)], out);
    }
    out += '\n';
}

void EventFormatter::appendJson(const EventRow& row, QByteArray& out)
{
    const EventTable& table = eventTables()[static_cast<size_t>(row.table)];
    out += "{\"time\":";
    out += QByteArray::number(row.time);
    out += ",\"type\":\"";
    out += table.type;
    if (m_showHost) {
        out += "\",\"host\":";
        appendJsonString(row.host, out);
        out += ",\"rowID\":";
    } else {
        out += "\",\"rowID\":";
    }
    out += QByteArray::number(row.rowId);
    for (int c = 0; c < table.columnCount; ++c) {
        out += ",\"";
        out += table.columns[c].name;
        out += "\":";
        if ((table.columns[c].storage == Storage::Integer)) {
            out += row.values[static_cast<size_t>(c)];
        } else {
            appendJsonString(row.values[static_cast<size_t>(c)], out);
        }
    }
    out += ",\"sentToMasterDB\":";
    out += QByteArray::number(row.sentToMasterDB);
    out += "}\n";
}

void EventFormatter::appendCsv(const EventRow& row, QByteArray& out)
{
    const EventTable& table = eventTables()[static_cast<size_t>(row.table)];
    QVector<const QByteArray*> cells(m_csvColumns.size(), nullptr);
    for (int c = 0; c < table.columnCount; ++c)
        cells[m_csvPositions[row.table].at(c)] = &row.values[static_cast<size_t>(c)];
    out += QByteArray::number(row.time);
    out += ',';
    out += table.type;
    out += ',';
    if (m_showHost) {
        appendCsvField(row.host, out);
        out += ',';
    }
    out += QByteArray::number(row.rowId);
    for (int i = m_showHost ? 4 : 3; i < cells.size() - 1; ++i) {
        out += ',';
        if (cells.at(i))
            appendCsvField(*cells.at(i), out);
    }
    out += ',';
    out += QByteArray::number(row.sentToMasterDB);
    out += "\r\n";
}
