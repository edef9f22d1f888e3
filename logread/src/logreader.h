#ifndef LOGREADER_H
#define LOGREADER_H

#include "eventformatter.h"
#include "eventquery.h"

#include <QString>

#include <cstdio>
#include <optional>

class ReaderOptions;
class EventStore;

// What one run of the reader is to do, checked and complete.
struct ReaderRequest
{
    QString dbPath;
    // A libpq connection string when the rows come from the master database instead of dbPath.
    std::optional<QString> master;
    Selection selection;
    std::optional<qint64> lines;
    bool reverse = false;
    bool follow = false;
    bool stats = false;
    // The column of --field.
    std::optional<QString> field;
    // The interval of --histogram in milliseconds.
    std::optional<qint64> histogramMs;
    // Every time printed in UTC instead of local time.
    bool utc = false;
    // Whether the output may go through a pager on a terminal.
    bool pager = true;
    bool showCursor = false;
    // The file whose cursor the read starts after, and that receives the new one.
    std::optional<QString> cursorFile;
    // The moment the request was made, from which --stats tells ages and a histogram's window ends.
    qint64 nowMs = 0;
    // The width of the terminal that a histogram's bars fill.
    int columns = 80;
    EventFormatter::Format format = EventFormatter::Format::Short;

    bool summary() const { return stats || field || histogramMs; }
};

// Turns parsed options into a request, times relative to nowMs; false with the message of the first bad value.
bool makeRequest(const ReaderOptions& options, qint64 nowMs, ReaderRequest& request, QString& error);

// Prints what the request selects from the store to out; with follow, until SIGINT or SIGTERM.
// The exit status: 0, or 1 after writing the error.
int runRequest(const ReaderRequest& request, EventStore& store, std::FILE* out);

#endif
