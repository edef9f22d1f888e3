#include "eventmix.h"

#include "eventmodel.h"
#include "logmessage.pb.h"

#include <algorithm>
#include <array>

namespace {

std::string text(const char* prefix, unsigned i)
{
    return prefix + std::to_string(i);
}

// One event of the mix: its kind, its values in column order, and the text that padding lengthens.
struct MixEvent
{
    EventKindId kind;
    std::array<std::string, maxEventColumns> texts;
    std::uint64_t number = 0;
    std::size_t padded = 0;
};

// One event of a mix like a busy machine's: mostly load reports and generic records, some task
// events, and now and then a reboot, a watchdog or a configuration snapshot with long texts.
// Padded events keep the configuration's texts short, so that every kind can be made as small as asked.
MixEvent mixEvent(unsigned i, bool padded)
{
    switch (i % 20) {
    case 0:
        return {EventKindId::Reboot, {text("operator-", i % 7)}, 0, 0};
    case 1:
        return {EventKindId::WatchDog, {text("heartbeat-timeout-", i % 5)}, 0, 0};
    case 2: {
        if (padded)
            return {EventKindId::MachineConfig, {"", "", "", "2.4.1", ""}, 0, 2};
        std::string rpms;
        for (unsigned p = 0; p < 40; ++p)
            rpms += text("package-", p) + "-1.2." + std::to_string(i % 9) + ".x86_64 ";
        return {EventKindId::MachineConfig,
                {"2x AMD EPYC, 24 GiB RAM, virtio-blk 100 GiB, virtio-net",
                 "Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 x86_64", rpms, "2.4.1",
                 "/ 41G used 55G free; /var 3.2G used 12G free"},
                0, 2};
    }
    case 3:
    case 4:
        return {EventKindId::CoreDump, {text("task-", i % 97)}, 0, 0};
    case 5:
    case 6:
    case 7:
        return {EventKindId::JoinLayer, {text("task-", i % 97)}, 0, 0};
    case 8:
    case 9:
    case 10:
        return {EventKindId::SpecfileUse,
                {text("task-", i % 97), text("/opt/tevrik/specs/build-", i % 31) + ".spec"}, 0, 1};
    case 11:
    case 12:
    case 13:
    case 14:
        return {EventKindId::SystemLoad, {"load " + std::to_string(i % 400 / 100.0) + " 0.87 0.66, 3/412"}, 0, 0};
    default:
        return {EventKindId::GenericLogMsg,
                {"", text("counter-", i % 13), std::to_string(i * 7919ULL % 100000)}, i, 2};
    }
}

} // namespace

std::string encodedEvent(unsigned i, std::uint64_t now, unsigned size)
{
    MixEvent mix = mixEvent(i, size > 0);
    const EventKind& kind = eventKind(mix.kind);
    LogEvent event;
    const auto encode = [&] {
        EventValues values;
        values.time = now;
        values.numbers.fill(mix.number);
        for (std::size_t c = 0; c < maxEventColumns; ++c)
            values.texts[c] = mix.texts[c];
        event.Clear();
        kind.fill(event, values);
        return event.ByteSizeLong();
    };
    std::size_t encoded = encode();
    // Twice, since a longer text may lengthen its own length prefix.
    for (int pass = 0; pass < 2 && size > 0; ++pass) {
        std::string& field = mix.texts[mix.padded];
        if (encoded < size)
            field.append(size - encoded, 'x');
        else if (encoded > size)
            field.resize(field.size() - std::min(field.size(), encoded - size));
        encoded = encode();
    }
    return event.SerializeAsString();
}
