#include "metricsfile.h"

#include "programmessagehandler.h"

#include <QFile>
#include <QSettings>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    , m_temporaryTemplate(directory + QStringLiteral("/.") + fileName + QStringLiteral(".XXXXXX"))
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
    const QByteArray text = prometheusText(m_source());
    QString error;
    const bool written = replaceFile(text, &error);
    if (!written && !m_failing)
        writeAlways(QtWarningMsg,
                    QStringLiteral("Cannot write the metrics file \"%1\": %2; retrying").arg(m_path, error));
    else if (written && m_failing)
        writeAlways(QtInfoMsg, QStringLiteral("Wrote the metrics file \"%1\" again").arg(m_path));
    m_failing = !written;
    return written;
}

bool MetricsWriter::replaceFile(const QByteArray& text, QString* error)
{
    // A name without the .prom ending, which the collectors of *.prom files skip, in the same directory, so that
    // the rename replaces the file in one step. Nothing is synced: the file is rewritten within seconds, and an
    // old one after a crash is as good as a lost write.
    QByteArray temporary = QFile::encodeName(m_temporaryTemplate);
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // The collector runs as another user: the file is readable by all whatever the process's umask.
    bool written = fchmod(fd, 0644) == 0;
    for (qsizetype offset = 0; written && offset < text.size();) {
        const ssize_t count = ::write(fd, text.constData() + offset, size_t(text.size() - offset));
        if (count < 0 && errno == EINTR)
            continue;
        written = count > 0;
        offset += count;
    }
    if (!written)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    if (::close(fd) != 0 && written) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (written && ::rename(temporary.constData(), QFile::encodeName(m_path).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        written = false;
    }
    if (!written)
        ::unlink(temporary.constData());
    return written;
}
