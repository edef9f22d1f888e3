#ifndef TIMEPARSER_H
#define TIMEPARSER_H

#include <QString>
#include <QtGlobal>

#include <optional>

// The forms of TIME, for help texts and error messages.
extern const char timeForms[];

// Why a text names no time.
enum class TimeError {
    None,
    // None of the forms.
    NoTime,
    // A clock time that the local zone skips, as when the clocks are put forward.
    SkippedLocalTime
};

// Milliseconds since the epoch that a TIME argument names: ISO 8601 dates and clock times in their own zone,
// else local time (UTC with utc), an ambiguous local time at its earlier instant; now, today, yesterday,
// tomorrow and +N or -N units relative to nowMs; @SECONDS[.FRACTION] and bare milliseconds since the epoch.
// Digits past the millisecond are dropped. Nothing, with the reason in error, when the text names no time.
std::optional<qint64> parseTime(const QString& text, qint64 nowMs, bool utc, TimeError* error = nullptr);

// The length in milliseconds of an INTERVAL such as 1min, 1h or 1d (s, min, h, d, w); nothing when the text
// is no positive interval.
std::optional<qint64> parseInterval(const QString& text);

// The UTC offset in milliseconds of the local zone (none with utc) at the instant ms.
qint64 utcOffsetAt(qint64 ms, bool utc);

#endif
