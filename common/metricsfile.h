#ifndef METRICSFILE_H
#define METRICSFILE_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class QSettings;

// One metric family of a single sample in the Prometheus text format.
struct Metric
{
    enum class Type { Counter, Gauge };
    // The full sample name: counters end in _total, values are in base units (seconds, bytes).
    QByteArray name;
    QByteArray help;
    Type type = Type::Gauge;
    double value = 0;
};

// The families as Prometheus's text format: # HELP, # TYPE and the sample of each.
QByteArray prometheusText(const QVector<Metric>& metrics);

// The directory that "[General Settings] metricsdir" names; empty when the key is absent, which turns metrics off.
QString metricsDirSetting(const QSettings& settings);

// Writes a program's metrics to one *.prom file of the directory every few seconds and when asked. Each write goes
// to a temporary name without the .prom ending, then is renamed, so a reader never sees half a file; nothing waits
// for the disk.
class MetricsWriter : public QObject
{
    Q_OBJECT

public:
    using Source = std::function<QVector<Metric>()>;

    // fileName is the file's name inside directory, ending in .prom.
    MetricsWriter(const QString& directory, const QString& fileName, Source source, QObject* parent = nullptr);

    QString path() const { return m_path; }
    // Starts the periodic writes, the first one now.
    void start();

public slots:
    // Writes the current values; a failure gives one warning until a write succeeds again. False on failure.
    bool write();

private:
    // Writes text to a temporary file and renames it over the file; false with the reason on failure.
    bool replaceFile(const QByteArray& text, QString* error);

    QString m_path;
    QString m_temporaryTemplate;
    Source m_source;
    QTimer m_timer;
    bool m_failing = false;
};

#endif
