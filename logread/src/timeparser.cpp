#include "timeparser.h"

#include <QDateTime>
#include <QRegularExpression>

#include <limits>

const char timeForms[] = "YYYY-MM-DD, YYYY-MM-DD HH:MM, YYYY-MM-DD HH:MM:SS, YYYY-MM-DD HH:MM:SS.mmm, today, "
                         "yesterday, now, -30s, -15min, -2h, -7d or @MS";

namespace {

std::optional<qint64> localMidnight(const QDate& date)
{
    const QDateTime midnight(date, QTime(0, 0), Qt::LocalTime);
    if (!midnight.isValid())
        return std::nullopt;
    return midnight.toMSecsSinceEpoch();
}

std::optional<qint64> parseRelative(const QRegularExpressionMatch& match, qint64 nowMs)
{
    static const QList<QPair<QString, qint64>> units = {{QStringLiteral("s"), 1000},
                                                        {QStringLiteral("min"), 60 * 1000},
                                                        {QStringLiteral("h"), 60 * 60 * 1000},
                                                        {QStringLiteral("d"), 24 * 60 * 60 * 1000}};
    bool ok = false;
    const qint64 count = match.captured(1).toLongLong(&ok);
    for (const auto& unit : units) {
        if (ok && unit.first == match.captured(2) && count <= std::numeric_limits<qint64>::max() / unit.second
            && nowMs >= 0)
            return nowMs - count * unit.second;
    }
    return std::nullopt;
}

std::optional<qint64> parseLocal(const QRegularExpressionMatch& match)
{
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    if (!date.isValid())
        return std::nullopt;
    if (match.captured(4).isEmpty())
        return localMidnight(date);
    const QString seconds = match.captured(6);
    const QString millis = match.captured(7);
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), seconds.isEmpty() ? 0 : seconds.toInt(),
                     millis.isEmpty() ? 0 : millis.toInt());
    const QDateTime moment(date, time, Qt::LocalTime);
    if (!time.isValid() || !moment.isValid())
        return std::nullopt;
    return moment.toMSecsSinceEpoch();
}

} // namespace

std::optional<qint64> parseTime(const QString& text, qint64 nowMs)
{
    static const QRegularExpression local(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?: (\\d{2}):(\\d{2})(?::(\\d{2})(?:\\.(\\d{3}))?)?)?$"));
    static const QRegularExpression relative(QStringLiteral("^-(\\d+)(s|min|h|d)$"));
    static const QRegularExpression epoch(QStringLiteral("^@(\\d+)$"));

    if (text == QLatin1String("now"))
        return nowMs;
    const QDate today = QDateTime::fromMSecsSinceEpoch(nowMs, Qt::LocalTime).date();
    if (text == QLatin1String("today"))
        return localMidnight(today);
    if (text == QLatin1String("yesterday"))
        return localMidnight(today.addDays(-1));

    QRegularExpressionMatch match = relative.match(text);
    if (match.hasMatch())
        return parseRelative(match, nowMs);
    match = epoch.match(text);
    if (match.hasMatch()) {
        bool ok = false;
        const qint64 ms = match.captured(1).toLongLong(&ok);
        return ok ? std::optional<qint64>(ms) : std::nullopt;
    }
    match = local.match(text);
    if (match.hasMatch())
        return parseLocal(match);
    return std::nullopt;
}
