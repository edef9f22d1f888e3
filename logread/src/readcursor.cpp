#include "readcursor.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSet>

namespace {

// Version 1 of the two kinds: "l1" with eight rowIDs, "m1" with eight rowIDs per source.
const QString localKind = QStringLiteral("l1");
const QString masterKind = QStringLiteral("m1");

QString check(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex().left(8));
}

QString rowIds(const StorePositions& positions, const QByteArray& source)
{
    QStringList ids;
    for (const QMap<QByteArray, qint64>& table : positions)
        ids << QString::number(table.value(source, 0));
    return ids.join(QLatin1Char('.'));
}

bool readRowIds(const QString& text, const QByteArray& source, StorePositions& positions)
{
    const QStringList ids = text.split(QLatin1Char('.'));
    if (ids.size() != eventTableCount)
        return false;
    for (int t = 0; t < eventTableCount; ++t) {
        bool ok = false;
        const qint64 id = ids.at(t).toLongLong(&ok);
        if (!ok || id < 0 || ids.at(t).startsWith(QLatin1Char('+')))
            return false;
        positions[static_cast<size_t>(t)].insert(source, id);
    }
    return true;
}

} // namespace

QString cursorText(const StorePositions& positions, bool manySources)
{
    QString body;
    if (!manySources) {
        body = localKind + QLatin1Char(';') + rowIds(positions, QByteArray());
    } else {
        QSet<QByteArray> sources;
        for (const QMap<QByteArray, qint64>& table : positions) {
            for (auto it = table.cbegin(); it != table.cend(); ++it)
                sources.insert(it.key());
        }
        QList<QByteArray> ordered = sources.values();
        std::sort(ordered.begin(), ordered.end());
        QStringList entries;
        for (const QByteArray& source : qAsConst(ordered))
            entries << QString::fromLatin1(source).remove(QLatin1Char('-')) + QLatin1Char('=') + rowIds(positions, source);
        body = masterKind + QLatin1Char(';') + entries.join(QLatin1Char(','));
    }
    return body + QLatin1Char(';') + check(body);
}

std::optional<StorePositions> parseCursor(const QString& text, bool manySources, QString& error)
{
    static const QRegularExpression uuid(QStringLiteral("^([0-9a-f]{8})([0-9a-f]{4})([0-9a-f]{4})([0-9a-f]{4})([0-9a-f]{12})$"));
    const int end = text.lastIndexOf(QLatin1Char(';'));
    const QString body = text.left(end);
    const QString kind = body.section(QLatin1Char(';'), 0, 0);
    if (end < 0 || body.count(QLatin1Char(';')) != 1 || check(body) != text.mid(end + 1)
        || (kind != localKind && kind != masterKind)) {
        error = QStringLiteral("not a cursor of tevriklog, or one cut short or changed");
        return std::nullopt;
    }
    if ((kind == masterKind) != manySources) {
        error = manySources ? QStringLiteral("a cursor of a local database, not of the master database")
                            : QStringLiteral("a cursor of the master database, not of a local database");
        return std::nullopt;
    }
    StorePositions positions;
    const QString entries = body.section(QLatin1Char(';'), 1);
    bool ok = true;
    if (!manySources) {
        ok = readRowIds(entries, QByteArray(), positions);
    } else if (!entries.isEmpty()) {
        for (const QString& entry : entries.split(QLatin1Char(','))) {
            const QRegularExpressionMatch id = uuid.match(entry.section(QLatin1Char('='), 0, 0));
            const QByteArray source = QStringList{id.captured(1), id.captured(2), id.captured(3), id.captured(4),
                                                  id.captured(5)}
                                          .join(QLatin1Char('-'))
                                          .toLatin1();
            ok = ok && id.hasMatch() && entry.count(QLatin1Char('=')) == 1
                 && readRowIds(entry.section(QLatin1Char('='), 1), source, positions);
        }
    }
    if (!ok) {
        error = QStringLiteral("not a cursor of tevriklog, or one cut short or changed");
        return std::nullopt;
    }
    return positions;
}
