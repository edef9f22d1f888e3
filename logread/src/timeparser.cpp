#include "timeparser.h"

#include <QRegularExpression>

#include <ctime>
#include <limits>

const char timeForms[] = "YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS[.mmm]] (or with T, and with Z or +HH:MM for a zone), "
                         "now, today, yesterday, tomorrow, -N or +N with s, min, h, d or w (-30s, +2h), "
                         "@SECONDS[.FRACTION] or milliseconds since the epoch";

namespace {

constexpr qint64 secondMs = 1000;
constexpr qint64 minuteMs = 60 * secondMs;
constexpr qint64 hourMs = 60 * minuteMs;
constexpr qint64 dayMs = 24 * hourMs;

qint64 floorDiv(qint64 value, qint64 divisor)
{
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
qint64 daysFromCivil(qint64 year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const qint64 era = floorDiv(year, 400);
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool isValidDate(int year, int month, int day)
{
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= lengths[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The instant of a wall-clock time (milliseconds as if it were UTC) in the local zone: of two, the earlier.
// A time that the zone skips is an error, or for a midnight the moment the clocks jumped past it.
std::optional<qint64> fromWallClock(qint64 wall, bool utc, bool midnight, TimeError* error)
{
    if (utc)
        return wall;
    // The offsets before and after a change near the time; changes lie more than a day apart.
    const qint64 before = utcOffsetAt(wall - dayMs, false);
    std::optional<qint64> earliest;
    for (const qint64 offset : {before, utcOffsetAt(wall, false), utcOffsetAt(wall + dayMs, false)}) {
        const qint64 instant = wall - offset;
        if (utcOffsetAt(instant, false) == offset && (!earliest || instant < *earliest))
            earliest = instant;
    }
    if (earliest)
        return earliest;
    if (midnight)
        return wall - before;
    if (error)
        *error = TimeError::SkippedLocalTime;
    return std::nullopt;
}

std::optional<qint64> relativeTime(const QRegularExpressionMatch& match, qint64 nowMs)
{
    static const QList<QPair<QString, qint64>> units = {{QStringLiteral("s"), secondMs},
                                                        {QStringLiteral("min"), minuteMs},
                                                        {QStringLiteral("h"), hourMs},
                                                        {QStringLiteral("d"), dayMs},
                                                        {QStringLiteral("w"), 7 * dayMs}};
    bool ok = false;
    const qint64 count = match.captured(2).toLongLong(&ok);
    for (const auto& unit : units) {
        if (!ok || unit.first != match.captured(3) || count > std::numeric_limits<qint64>::max() / unit.second)
            continue;
        const qint64 span = count * unit.second;
        if (match.captured(1) == QLatin1String("-"))
            return nowMs >= std::numeric_limits<qint64>::min() + span ? std::optional<qint64>(nowMs - span)
                                                                     : std::nullopt;
        return nowMs <= std::numeric_limits<qint64>::max() - span ? std::optional<qint64>(nowMs + span)
                                                                 : std::nullopt;
    }
    return std::nullopt;
}

// The first three digits of a fraction of a second as milliseconds.
qint64 fractionMs(const QString& digits)
{
    return digits.isEmpty() ? 0 : (digits.left(3) + QStringLiteral("00").left(3 - qMin(3, digits.size()))).toLongLong();
}

std::optional<qint64> isoTime(const QRegularExpressionMatch& match, bool utc, TimeError* error)
{
    const int year = match.captured(1).toInt();
    const int month = match.captured(2).toInt();
    const int day = match.captured(3).toInt();
    if (!isValidDate(year, month, day))
        return std::nullopt;
    const qint64 midnight = daysFromCivil(year, month, day) * dayMs;
    if (match.captured(4).isEmpty())
        return fromWallClock(midnight, utc, true, error);
    const int hours = match.captured(4).toInt();
    const int minutes = match.captured(5).toInt();
    const int seconds = match.captured(6).toInt();
    if (hours > 23 || minutes > 59 || seconds > 59)
        return std::nullopt;
    const qint64 wall =
        midnight + hours * hourMs + minutes * minuteMs + seconds * secondMs + fractionMs(match.captured(7));
    const QString zone = match.captured(8);
    if (zone.isEmpty())
        return fromWallClock(wall, utc, false, error);
    if (zone == QLatin1String("Z"))
        return wall;
    const int zoneHours = zone.mid(1, 2).toInt();
    const int zoneMinutes = zone.mid(4, 2).toInt();
    if (zoneHours > 23 || zoneMinutes > 59)
        return std::nullopt;
    const qint64 offset = (zone.at(0) == QLatin1Char('-') ? -1 : 1) * (zoneHours * hourMs + zoneMinutes * minuteMs);
    return wall - offset;
}

} // namespace

qint64 utcOffsetAt(qint64 ms, bool utc)
{
    if (utc)
        return 0;
    const time_t seconds = static_cast<time_t>(floorDiv(ms, secondMs));
    struct tm local = {};
    if (!localtime_r(&seconds, &local))
        return 0;
    return static_cast<qint64>(local.tm_gmtoff) * secondMs;
}

std::optional<qint64> parseTime(const QString& text, qint64 nowMs, bool utc, TimeError* error)
{
    static const QRegularExpression iso(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d+))?)?"
                       "(Z|[+-]\\d{2}:\\d{2})?)?$"));
    static const QRegularExpression relative(QStringLiteral("^([+-])(\\d+)(s|min|h|d|w)$"));
    static const QRegularExpression epochSeconds(QStringLiteral("^@(\\d+)(?:\\.(\\d+))?$"));
    static const QRegularExpression epochMs(QStringLiteral("^\\d+$"));

    if (error)
        *error = TimeError::NoTime;
    const auto done = [error](std::optional<qint64> time) {
        if (time && error)
            *error = TimeError::None;
        return time;
    };
    if (text == QLatin1String("now"))
        return done(nowMs);
    const QStringList days{QStringLiteral("yesterday"), QStringLiteral("today"), QStringLiteral("tomorrow")};
    if (days.contains(text)) {
        const qint64 today = floorDiv(nowMs + utcOffsetAt(nowMs, utc), dayMs);
        return done(fromWallClock((today + days.indexOf(text) - 1) * dayMs, utc, true, error));
    }
    QRegularExpressionMatch match = relative.match(text);
    if (match.hasMatch())
        return done(relativeTime(match, nowMs));
    match = epochSeconds.match(text);
    if (match.hasMatch()) {
        bool ok = false;
        const qint64 seconds = match.captured(1).toLongLong(&ok);
        if (!ok || seconds > std::numeric_limits<qint64>::max() / secondMs - 1)
            return std::nullopt;
        return done(seconds * secondMs + fractionMs(match.captured(2)));
    }
    match = epochMs.match(text);
    if (match.hasMatch()) {
        bool ok = false;
        const qint64 ms = text.toLongLong(&ok);
        return done(ok ? std::optional<qint64>(ms) : std::nullopt);
    }
    match = iso.match(text);
    if (match.hasMatch())
        return done(isoTime(match, utc, error));
    return std::nullopt;
}

std::optional<qint64> parseInterval(const QString& text)
{
    static const QRegularExpression interval(QStringLiteral("^()(\\d+)(s|min|h|d|w)$"));
    const QRegularExpressionMatch match = interval.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const std::optional<qint64> length = relativeTime(match, 0);
    return length && *length > 0 ? length : std::nullopt;
}
