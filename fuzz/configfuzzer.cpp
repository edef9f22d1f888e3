// Loads arbitrary bytes as the daemon's INI configuration file, judges the settings it yields and reloads it.
#include "configsettings.h"
#include "programmessagehandler.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// Removed at exit together with the files inside it.
QTemporaryDir& configDir()
{
    static QTemporaryDir dir;
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler(programMessageHandler);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A new name for every input: QSettings caches a file's contents by name, size and time stamp.
    static quint64 inputs = 0;
    const QString path = configDir().filePath(QStringLiteral("%1.conf").arg(++inputs));
    QFile file(path);
    const qint64 length = qint64(size);
    if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(data), length) != length)
        qFatal("cannot write %s", qPrintable(path));
    file.close();

    ConfigSettings* settings = ConfigSettings::loadConfig(path);
    settings->invalidSettings();
    // Read again, the same file changes nothing.
    const ConfigSettings::Reload reload = settings->reload(path);
    if (reload.loaded && !reload.changed.isEmpty())
        qFatal("reloading the same file changed %s", qPrintable(reload.changed.join(QLatin1Char(' '))));
    QFile::remove(path);
    return 0;
}
