#ifndef EVENTFORMATTER_H
#define EVENTFORMATTER_H

#include "eventquery.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <optional>

// A text as a value of the short formats: bare when it is not empty and holds no space, "=", '"' nor a
// character that must be escaped; else in double quotes, with " and \ escaped as \" and \\.
void appendLogfmtValue(const QByteArray& text, QByteArray& out);
// A text as a JSON string, quotes included.
void appendJsonString(const QByteArray& text, QByteArray& out);

// Turns rows into output lines of one format.
class EventFormatter
{
public:
    enum class Format { Short, ShortIso, Json, Csv };

    // The format of an --output name, if it is one.
    static std::optional<Format> formatOf(const QString& name);
    static QStringList formatNames();

    // The csv columns are those of the tables that the selection covers. With showHost every line names the
    // row's host: after the time in short formats, as the field host in json and csv. With utc every time is
    // written in UTC, else in local time.
    EventFormatter(Format format, const Selection& selection, bool showHost, bool utc);

    // What comes before the first row: the csv header line, else nothing.
    QByteArray header() const;
    void append(const EventRow& row, QByteArray& out);
    // The time of ms as the short format writes it (with the UTC offset for short-iso).
    void appendTime(qint64 ms, QByteArray& out);

private:
    void appendShort(const EventRow& row, QByteArray& out);
    void appendJson(const EventRow& row, QByteArray& out);
    void appendCsv(const EventRow& row, QByteArray& out);

    Format m_format;
    bool m_showHost;
    bool m_utc;
    QStringList m_csvColumns;
    // Per table, the csv position of each of its columns.
    QVector<QVector<int>> m_csvPositions;
    // Local time of the minute last formatted: local offsets change only at whole minutes.
    qint64 m_cachedMinute;
    QByteArray m_minutePrefix;
    QByteArray m_offset;
};

#endif
