#include "metricsparser.h"

#include "processrunner.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>

namespace {

// Debian's interpreter, where the python3-prometheus-client package installs the parser.
const char parserScript[] = R"(import sys
from prometheus_client.parser import text_string_to_metric_families
with open(sys.argv[1]) as f:
    for family in text_string_to_metric_families(f.read()):
        for sample in family.samples:
            print(sample.name, family.type, repr(sample.value))
)";

} // namespace

QMap<QString, ParsedSample> parseMetricsFile(const QString& path)
{
    const RunResult run =
        runProgram(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QString::fromLatin1(parserScript), path});
    QMap<QString, ParsedSample> samples;
    if (run.exitStatus != QProcess::NormalExit || run.exitCode != 0) {
        qWarning("The metrics parser failed: %s", run.err.constData());
        return samples;
    }
    for (const QString& line : QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() == 3)
            samples.insert(words.at(0), ParsedSample{words.at(1), words.at(2).toDouble()});
    }
    return samples;
}

QMap<QString, ParsedSample> waitForMetrics(const QString& path, const MetricsCondition& condition, int timeoutMs)
{
    QMap<QString, ParsedSample> samples;
    QDateTime parsed;
    waitFor(
        [&] {
            const QDateTime written = QFileInfo(path).lastModified();
            if (!written.isValid() || written == parsed)
                return false;
            parsed = written;
            samples = parseMetricsFile(path);
            return condition(samples);
        },
        timeoutMs);
    return samples;
}
