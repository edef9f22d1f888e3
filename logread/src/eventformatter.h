#ifndef EVENTFORMATTER_H
#define EVENTFORMATTER_H

#include "eventquery.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <optional>

// Turns rows into output lines of one format.
class EventFormatter
{
public:
    enum class Format { Short, ShortIso, Json, Csv };

    // The format of an --output name, if it is one.
    static std::optional<Format> formatOf(const QString& name);
    static QStringList formatNames();

    // The csv columns are those of the tables that the selection covers. With showHost every line names the
    // row's host: after the time in short formats, as the field host in json and csv.
    EventFormatter(Format format, const Selection& selection, bool showHost);

    // What comes before the first row: the csv header line, else nothing.
    QByteArray header() const;
    void append(const EventRow& row, QByteArray& out);
    // The local time of ms as the short format writes it (with the UTC offset for short-iso).
    void appendTime(qint64 ms, QByteArray& out);

private:
    void appendShort(const EventRow& row, QByteArray& out);
    void appendJson(const EventRow& row, QByteArray& out);
    void appendCsv(const EventRow& row, QByteArray& out);

    Format m_format;
    bool m_showHost;
    QStringList m_csvColumns;
    // Per table, the csv position of each of its columns.
    QVector<QVector<int>> m_csvPositions;
    // Local time of the minute last formatted: local offsets change only at whole minutes.
    qint64 m_cachedMinute;
    QByteArray m_minutePrefix;
    QByteArray m_offset;
};

#endif
