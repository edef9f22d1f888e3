#ifndef EVENTMIX_H
#define EVENTMIX_H

#include <cstdint>
#include <string>

// The benchmark's events: a mix like a busy machine's, of all eight kinds.
// Event number i of the mix, timestamped now (ms); size > 0 pads it to about that many bytes.
std::string encodedEvent(unsigned i, std::uint64_t now, unsigned size);

#endif
