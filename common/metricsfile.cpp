#include "metricsfile.h"

#include "programmessagehandler.h"

#include <QSaveFile>
#include <QSettings>

#include <cmath>
#include <utility>

namespace {

// Often enough that a scrape every 15 s sees values a few seconds old.
const int writeIntervalMs = 5000;

QByteArray valueText(double value)
{
    // Whole numbers, such as every counter, without an exponent or a fraction.
    if (std::floor(value) == value && std::fabs(value) < 1e15)
        return QByteArray::number(qint64(value));
    return QByteArray::number(value, 'g', 17);
}

} // namespace

QByteArray prometheusText(const QVector<Metric>& metrics)
{
    QByteArray text;
    for (const Metric& metric : metrics) {
        text += "# HELP " + metric.name + ' ' + metric.help + '\n';
        text += "# TYPE " + metric.name + (metric.type == Metric::Type::Counter ? " counter\n" : " gauge\n");
        text += metric.name + ' ' + valueText(metric.value) + '\n';
    }
    return text;
}

QString metricsDirSetting(const QSettings& settings)
{
    // The INI format splits an unquoted value at its commas.
    const QVariant value = settings.value(QStringLiteral("General Settings/metricsdir"));
    const QString text =
        value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
    return text.trimmed();
}

MetricsWriter::MetricsWriter(const QString& directory, const QString& fileName, Source source, QObject* parent)
    : QObject(parent)
    , m_path(directory + QLatin1Char('/') + fileName)
    , m_source(std::move(source))
{
    m_timer.setInterval(writeIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &MetricsWriter::write);
}

void MetricsWriter::start()
{
    write();
    m_timer.start();
}

bool MetricsWriter::write()
{
    // QSaveFile writes to a name with a random suffix after ".prom", which the collectors of *.prom files skip.
    QSaveFile file(m_path);
    const QByteArray text = prometheusText(m_source());
    // The collector runs as another user: the file is readable by all whatever the process's umask.
    const bool written = file.open(QIODevice::WriteOnly)
                         && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ReadGroup | QFileDevice::ReadOther)
                         && file.write(text) == text.size() && file.commit();
    if (!written && !m_failing)
        writeAlways(QtWarningMsg, QStringLiteral("Cannot write the metrics file \"%1\": %2; retrying")
                                      .arg(m_path, file.errorString()));
    else if (written && m_failing)
        writeAlways(QtInfoMsg, QStringLiteral("Wrote the metrics file \"%1\" again").arg(m_path));
    m_failing = !written;
    return written;
}
