#include "handlecmdlineargs.h"

#include "cliarg.h"
#include "climultiarg.h"
#include "eventmodel.h"
#include "logmessage.pb.h"
#include "programmessagehandler.h"

#include <QDateTime>
#include <QDebug>
#include <QStringList>

#include <array>
#include <string>

namespace {

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

} // namespace

void handleCmdLineArgs(const CliArg& type, const CliMultiArg& msgpayload, LogEvent& event)
{
    event.Clear();
    const EventKind* kind = eventKindOfType(type.value().toString().toStdString());
    if (!kind)
        exitOnInputError(QStringLiteral("Unknown message type. Aborting."));

    // Count the values actually given: a trailing -m without its value is counted by the
    // option but carries nothing to read.
    QStringList values;
    for (const QVariant& value : msgpayload.value().toList())
        values.append(value.toString());

    const QLatin1String typeName(kind->type);
    if (values.size() < kind->columnCount)
        exitOnInputError(QStringLiteral("Too few arguments for the %1 message type. Aborting.").arg(typeName));
    if (values.size() > kind->columnCount)
        qWarning() << QStringLiteral("Too many arguments for the %1 message type. Ignoring extras.").arg(typeName);

    std::array<std::string, maxEventColumns> texts;
    EventValues fields;
    for (int i = 0; i < kind->columnCount; ++i) {
        const auto c = std::size_t(i);
        if (kind->columns[c].storage == Storage::Integer) {
            fields.numbers[c] = recordNumber(values[i]);
        } else {
            texts[c] = values[i].toStdString();
            fields.texts[c] = texts[c];
        }
    }
    // The time is read last, after the values are taken.
    fields.time = static_cast<quint64>(QDateTime::currentMSecsSinceEpoch());
    kind->fill(event, fields);
}
