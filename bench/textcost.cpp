// What the rule for a stored text costs the store: the validity check of every text of the
// benchmark's event mix, per event, as the store makes it before it binds a row.
#include "cputime.h"
#include "eventmix.h"
#include "eventmodel.h"
#include "logmessage.pb.h"
#include "storedtext.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const unsigned count = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    std::vector<LogEvent> events(count);
    for (unsigned i = 0; i < count; ++i)
        events[i].ParseFromString(encodedEvent(i, 1700000000000ULL + i, 0));

    std::string scratch;
    unsigned long texts = 0;
    unsigned long bytes = 0;
    // The same walk over the events without the check, whose cost is subtracted.
    const auto walk = [&](bool check) {
        for (const LogEvent& event : events) {
            forEachPayload(event, [&](const EventKind& kind, const EventValues& values) {
                for (int c = 0; c < kind.columnCount; ++c) {
                    if (kind.columns[size_t(c)].storage != Storage::Text)
                        continue;
                    const std::string_view text = values.texts[size_t(c)];
                    bytes += check ? storedText(text, scratch).size() : text.size();
                    ++texts;
                }
            });
        }
    };
    double start = cpuSeconds();
    walk(false);
    const double plain = cpuSeconds() - start;
    start = cpuSeconds();
    walk(true);
    const double checked = cpuSeconds() - start;
    std::printf("text rule: %u events, %lu texts of %lu bytes: %.1f ns per event (%.1f ns reading them)\n", count,
                texts / 2, bytes / 2, (checked - plain) * 1e9 / count, plain * 1e9 / count);
    return 0;
}
