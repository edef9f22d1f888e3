#ifndef SUMMARIES_H
#define SUMMARIES_H

#include <cstdio>

struct ReaderRequest;
class EventReader;
class EventStore;

// Prints the summary that the request asks for (--stats, --field or --histogram) of its selection; the exit
// status, 0 or 1 after writing the error.
int printSummary(const ReaderRequest& request, EventReader& reader, EventStore& store, std::FILE* out);

#endif
