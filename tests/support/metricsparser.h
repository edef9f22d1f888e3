#ifndef METRICSPARSER_H
#define METRICSPARSER_H

#include <QMap>
#include <QString>

#include <functional>

// One sample of a metrics file: its family's type ("counter", "gauge") and its value.
struct ParsedSample
{
    QString type;
    double value = 0;
};

// The samples of a file in the Prometheus text format, by sample name, as the parser of Debian's
// python3-prometheus-client reads them; empty when the parser rejects the file or is missing.
QMap<QString, ParsedSample> parseMetricsFile(const QString& path);

using MetricsCondition = std::function<bool(const QMap<QString, ParsedSample>&)>;

// Parses the file whenever it has been written again, until its samples satisfy the condition or the deadline
// passes; the samples last parsed.
QMap<QString, ParsedSample> waitForMetrics(const QString& path, const MetricsCondition& condition,
                                           int timeoutMs = 30000);

#endif
