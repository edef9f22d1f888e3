#ifndef TIMEPARSER_H
#define TIMEPARSER_H

#include <QString>
#include <QtGlobal>

#include <optional>

// The forms of TIME, for help texts and error messages.
extern const char timeForms[];

// Milliseconds since the epoch that a TIME argument names, local time for dates and clock times,
// relative to nowMs for now, today, yesterday and -N units; nothing when the text is no TIME.
std::optional<qint64> parseTime(const QString& text, qint64 nowMs);

#endif
