#include "forwardcounters.h"

QVector<Metric> forwarderMetrics(const ForwarderStatus& status, qint64 nowMs)
{
    const auto counter = [](const char* name, const char* help, quint64 value) {
        return Metric{QByteArray("tevriklogforward_") + name, help, Metric::Type::Counter, double(value)};
    };
    const auto gauge = [](const char* name, const char* help, double value) {
        return Metric{QByteArray("tevriklogforward_") + name, help, Metric::Type::Gauge, value};
    };
    // A sender's clock ahead of this one's makes no negative age.
    const double age = status.waiting.count > 0 ? qMax<qint64>(0, nowMs - status.waiting.oldestTime) / 1000.0 : 0;
    return {counter("rows_sent_total", "Rows committed on the master.", status.counters.rowsSent),
            counter("rows_set_aside_total", "Rows the master cannot take, set aside locally.",
                    status.counters.rowsSetAside),
            counter("rows_altered_total", "Rows sent with texts altered for the master.", status.counters.rowsAltered),
            counter("rows_resent_total", "Rows marked sent that the master lacked, sent again.",
                    status.counters.rowsResent),
            gauge("rows_waiting", "Local rows not yet committed on the master.", double(status.waiting.count)),
            gauge("oldest_waiting_age_seconds", "Age of the oldest row not yet committed on the master; 0 when none waits.",
                  age),
            gauge("master_connected", "1 while the master is connected, else 0.", status.masterConnected ? 1 : 0),
            gauge("last_commit_timestamp_seconds", "When the master last committed a batch, in Unix time; 0 before the first.",
                  status.lastCommitMs / 1000.0)};
}
