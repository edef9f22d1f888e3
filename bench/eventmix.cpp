#include "eventmix.h"

#include "logmessage.pb.h"

#include <algorithm>

namespace {

std::string text(const char* prefix, unsigned i)
{
    return prefix + std::to_string(i);
}

// One event of a mix like a busy machine's: mostly load reports and generic records, some task
// events, and now and then a reboot, a watchdog or a configuration snapshot with long texts.
// Padded events keep the configuration's texts short, so that every kind can be made as small as asked.
// Returns the text field that padding lengthens.
std::string* makeEvent(LogEvent& event, unsigned i, std::uint64_t now, bool padded)
{
    switch (i % 20) {
    case 0:
        event.mutable_reboot()->set_issuer(text("operator-", i % 7));
        event.mutable_reboot()->set_timestamp(now);
        return event.mutable_reboot()->mutable_issuer();
    case 1:
        event.mutable_watchdog()->set_triggeredby(text("heartbeat-timeout-", i % 5));
        event.mutable_watchdog()->set_timestamp(now);
        return event.mutable_watchdog()->mutable_triggeredby();
    case 2: {
        MachineConfig* machine = event.mutable_machine();
        machine->set_tevrikversion("2.4.1");
        machine->set_timestamp(now);
        if (padded)
            return machine->mutable_rpmsinstalled();
        machine->set_hardwareconf("2x AMD EPYC, 24 GiB RAM, virtio-blk 100 GiB, virtio-net");
        machine->set_linuxver("Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 x86_64");
        std::string rpms;
        for (unsigned p = 0; p < 40; ++p)
            rpms += text("package-", p) + "-1.2." + std::to_string(i % 9) + ".x86_64 ";
        machine->set_rpmsinstalled(rpms);
        machine->set_diskspace("/ 41G used 55G free; /var 3.2G used 12G free");
        return machine->mutable_rpmsinstalled();
    }
    case 3:
    case 4:
        event.mutable_dump()->set_taskname(text("task-", i % 97));
        event.mutable_dump()->set_timestamp(now);
        return event.mutable_dump()->mutable_taskname();
    case 5:
    case 6:
    case 7:
        event.mutable_joinlayer()->set_taskname(text("task-", i % 97));
        event.mutable_joinlayer()->set_timestamp(now);
        return event.mutable_joinlayer()->mutable_taskname();
    case 8:
    case 9:
    case 10:
        event.mutable_specfile()->set_taskname(text("task-", i % 97));
        event.mutable_specfile()->set_specfile(text("/opt/tevrik/specs/build-", i % 31) + ".spec");
        event.mutable_specfile()->set_timestamp(now);
        return event.mutable_specfile()->mutable_specfile();
    case 11:
    case 12:
    case 13:
    case 14:
        event.mutable_systemload()->set_sysload("load " + std::to_string(i % 400 / 100.0) + " 0.87 0.66, 3/412");
        event.mutable_systemload()->set_timestamp(now);
        return event.mutable_systemload()->mutable_sysload();
    default:
        event.mutable_generic()->set_recordnumber(i);
        event.mutable_generic()->set_key(text("counter-", i % 13));
        event.mutable_generic()->set_value(std::to_string(i * 7919ULL % 100000));
        event.mutable_generic()->set_timestamp(now);
        return event.mutable_generic()->mutable_value();
    }
}

} // namespace

std::string encodedEvent(unsigned i, std::uint64_t now, unsigned size)
{
    LogEvent event;
    std::string* field = makeEvent(event, i, now, size > 0);
    // Twice, since a longer text may lengthen its own length prefix.
    for (int pass = 0; pass < 2 && size > 0; ++pass) {
        const size_t encoded = event.ByteSizeLong();
        if (encoded < size)
            field->append(size - encoded, 'x');
        else if (encoded > size)
            field->resize(field->size() - std::min(field->size(), encoded - size));
    }
    return event.SerializeAsString();
}

