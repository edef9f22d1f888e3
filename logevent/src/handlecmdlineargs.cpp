#include "handlecmdlineargs.h"

#include "cliarg.h"
#include "climultiarg.h"
#include "logmessage.pb.h"
#include "programmessagehandler.h"

#include <QDateTime>
#include <QDebug>
#include <QStringList>

namespace {

std::string text(const QString& value)
{
    return value.toStdString();
}

// The time is read last, after the value fields are filled.
template <typename Payload>
void stamp(Payload* payload)
{
    payload->set_timestamp(static_cast<quint64>(QDateTime::currentMSecsSinceEpoch()));
}

// A record number is a decimal unsigned 64-bit number over its full range, digits only.
quint64 recordNumber(const QString& value)
{
    bool ok = !value.isEmpty();
    for (const QChar c : value)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const quint64 number = ok ? value.toULongLong(&ok, 10) : 0;
    if (!ok)
        exitOnInputError(QStringLiteral("Invalid record number: %1. Aborting.").arg(value));
    return number;
}

struct MessageType
{
    const char* name;
    int valueCount;
    void (*fill)(LogEvent& event, const QStringList& values);
};

const MessageType messageTypes[] = {
    {"coredump", 1, [](LogEvent& event, const QStringList& values) {
         CoreDump* dump = event.mutable_dump();
         dump->set_taskname(text(values[0]));
         stamp(dump);
     }},
    {"reboot", 1, [](LogEvent& event, const QStringList& values) {
         Reboot* reboot = event.mutable_reboot();
         reboot->set_issuer(text(values[0]));
         stamp(reboot);
     }},
    {"watchdog", 1, [](LogEvent& event, const QStringList& values) {
         WatchDog* watchdog = event.mutable_watchdog();
         watchdog->set_triggeredby(text(values[0]));
         stamp(watchdog);
     }},
    {"joinlayer", 1, [](LogEvent& event, const QStringList& values) {
         JoinLayer* joinlayer = event.mutable_joinlayer();
         joinlayer->set_taskname(text(values[0]));
         stamp(joinlayer);
     }},
    {"specfile", 2, [](LogEvent& event, const QStringList& values) {
         SpecfileUse* specfile = event.mutable_specfile();
         specfile->set_taskname(text(values[0]));
         specfile->set_specfile(text(values[1]));
         stamp(specfile);
     }},
    {"sysload", 1, [](LogEvent& event, const QStringList& values) {
         SystemLoad* systemload = event.mutable_systemload();
         systemload->set_sysload(text(values[0]));
         stamp(systemload);
     }},
    {"machineconfig", 5, [](LogEvent& event, const QStringList& values) {
         MachineConfig* machine = event.mutable_machine();
         machine->set_hardwareconf(text(values[0]));
         machine->set_linuxver(text(values[1]));
         machine->set_rpmsinstalled(text(values[2]));
         machine->set_tevrikversion(text(values[3]));
         machine->set_diskspace(text(values[4]));
         stamp(machine);
     }},
    {"generic", 3, [](LogEvent& event, const QStringList& values) {
         const quint64 number = recordNumber(values[0]);
         GenericLogMsg* generic = event.mutable_generic();
         generic->set_recordnumber(number);
         generic->set_key(text(values[1]));
         generic->set_value(text(values[2]));
         stamp(generic);
     }},
};

} // namespace

void handleCmdLineArgs(const CliArg& type, const CliMultiArg& msgpayload, LogEvent& event)
{
    event.Clear();
    const QString typeName = type.value().toString();

    const MessageType* row = nullptr;
    for (const MessageType& candidate : messageTypes) {
        if (typeName.compare(QLatin1String(candidate.name), Qt::CaseSensitive) == 0) {
            row = &candidate;
            break;
        }
    }
    if (!row)
        exitOnInputError(QStringLiteral("Unknown message type. Aborting."));

    // Count the values actually given: a trailing -m without its value is counted by the
    // option but carries nothing to read.
    QStringList values;
    for (const QVariant& value : msgpayload.value().toList())
        values.append(value.toString());

    if (values.size() < row->valueCount)
        exitOnInputError(QStringLiteral("Too few arguments for the %1 message type. Aborting.")
                             .arg(QLatin1String(row->name)));
    if (values.size() > row->valueCount)
        qWarning() << QStringLiteral("Too many arguments for the %1 message type. Ignoring extras.")
                          .arg(QLatin1String(row->name));

    row->fill(event, values);
}
