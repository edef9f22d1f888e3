#include "machinefacts.h"

#include "programmessagehandler.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>
#include <sys/utsname.h>

namespace {

// The bit of a watchdog's bootstatus that says the card reset the machine (WDIOF_CARDRESET).
const unsigned cardResetBit = 0x20;
const int rpmTimeoutMs = 120000;
const char rpmQueryFormat[] = "%{NAME} %|EPOCH?{%{EPOCH}:}|%{VERSION}-%{RELEASE} %{ARCH}\\n";

// The value of "key : value" lines such as those of /proc/cpuinfo and /proc/meminfo.
QList<QPair<QByteArray, QByteArray>> keyValues(const QByteArray& text)
{
    QList<QPair<QByteArray, QByteArray>> pairs;
    for (const QByteArray& line : text.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            pairs.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return pairs;
}

// The dpkg statuses of a package whose files are on the machine and configured, or about to be.
bool isInstalledStatus(const QByteArray& status)
{
    const QByteArray state = status.trimmed().split(' ').last();
    return state == "installed" || state == "triggers-pending" || state == "triggers-awaited";
}

} // namespace

bool MachineSnapshot::sameConfiguration(const MachineSnapshot& other) const
{
    return hardware == other.hardware && kernelRelease == other.kernelRelease && packages == other.packages
           && diskSizes == other.diskSizes;
}

MachineFacts::MachineFacts(const QString& root)
    : m_root(QDir::cleanPath(root))
{
}

QString MachineFacts::path(const QString& absolute) const
{
    return m_root == QLatin1String("/") ? absolute : m_root + absolute;
}

void MachineFacts::warnOnce(const QString& source, const QString& message)
{
    if (m_warned.contains(source))
        return;
    m_warned.insert(source);
    writeAlways(QtWarningMsg, message);
}

QByteArray MachineFacts::readFile(const QString& absolute, const char* part)
{
    QFile file(path(absolute));
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray contents = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return contents.isNull() ? QByteArray("") : contents;
    }
    if (part)
        warnOnce(absolute, QStringLiteral("Cannot read \"%1\": %2; %3 stays empty")
                               .arg(file.fileName(), file.errorString(), QLatin1String(part)));
    return QByteArray();
}

QString MachineFacts::loadText()
{
    return QString::fromUtf8(readFile(QStringLiteral("/proc/loadavg"), "the load report").trimmed());
}

QString MachineFacts::hardware()
{
    QStringList lines;
    QByteArray architecture = readFile(QStringLiteral("/proc/sys/kernel/arch"), nullptr).trimmed();
    if (architecture.isEmpty()) {
        struct utsname names = {};
        if (::uname(&names) == 0)
            architecture = names.machine;
    }
    lines << QStringLiteral("architecture: %1").arg(QString::fromUtf8(architecture));

    const QByteArray cpuinfo = readFile(QStringLiteral("/proc/cpuinfo"), "the CPU of the configuration");
    if (!cpuinfo.isNull()) {
        int count = 0;
        QByteArray model;
        // x86 names the model per processor; other architectures once, under one of the other keys.
        const QList<QByteArray> modelKeys{"model name", "Model", "Hardware", "cpu model", "cpu"};
        int modelRank = modelKeys.size();
        for (const auto& [key, value] : keyValues(cpuinfo)) {
            if (key == "processor")
                ++count;
            const int rank = modelKeys.indexOf(key);
            if (rank >= 0 && rank < modelRank && !value.isEmpty()) {
                model = value;
                modelRank = rank;
            }
        }
        lines << QStringLiteral("cpu: %1 x %2").arg(count).arg(QString::fromUtf8(model));
    }

    const QByteArray meminfo = readFile(QStringLiteral("/proc/meminfo"), "the memory of the configuration");
    for (const auto& [key, value] : keyValues(meminfo)) {
        if (key == "MemTotal")
            lines << QStringLiteral("memory: %1").arg(QString::fromUtf8(value));
    }
    return lines.join(QLatin1Char('\n'));
}

QStringList MachineFacts::dpkgPackages(const QString& statusFile)
{
    const QByteArray status = readFile(statusFile, "the package list");
    QStringList lines;
    QByteArray name;
    QByteArray version;
    QByteArray architecture;
    bool installed = false;
    const auto finish = [&] {
        if (installed && !name.isEmpty())
            lines << QString::fromUtf8(name + ' ' + version + ' ' + architecture);
        name.clear();
        version.clear();
        architecture.clear();
        installed = false;
    };
    for (const QByteArray& line : status.split('\n')) {
        if (line.trimmed().isEmpty()) {
            finish();
            continue;
        }
        // Continuation lines of a multi-line field begin with a blank.
        if (line.startsWith(' ') || line.startsWith('\t'))
            continue;
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (key == "Package")
            name = value;
        else if (key == "Version")
            version = value;
        else if (key == "Architecture")
            architecture = value;
        else if (key == "Status")
            installed = isInstalledStatus(value);
    }
    finish();
    return lines;
}

QStringList MachineFacts::rpmPackages(const QString& dbPath)
{
    QProcess rpm;
    rpm.start(QStringLiteral("rpm"), {QStringLiteral("--dbpath"), dbPath, QStringLiteral("-qa"),
                                      QStringLiteral("--qf"), QString::fromLatin1(rpmQueryFormat)});
    const bool finished = rpm.waitForStarted() && rpm.waitForFinished(rpmTimeoutMs);
    if (!finished || rpm.exitStatus() != QProcess::NormalExit || rpm.exitCode() != 0) {
        if (rpm.state() != QProcess::NotRunning) {
            rpm.kill();
            rpm.waitForFinished();
        }
        const QString reason = !finished ? rpm.errorString()
                                         : QString::fromLocal8Bit(rpm.readAllStandardError()).trimmed();
        warnOnce(dbPath, QStringLiteral("Cannot read the RPM database \"%1\" with rpm -qa: %2; the package list "
                                        "stays empty")
                             .arg(dbPath, reason));
        return {};
    }
    return QString::fromUtf8(rpm.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString MachineFacts::rpmDatabase() const
{
    for (const QString& dir : {QStringLiteral("/var/lib/rpm"), QStringLiteral("/usr/lib/sysimage/rpm")}) {
        // The files of rpm's sqlite, ndb and Berkeley DB back ends.
        for (const QString& file : {QStringLiteral("rpmdb.sqlite"), QStringLiteral("Packages.db"),
                                    QStringLiteral("Packages")}) {
            if (QFile::exists(path(dir + QLatin1Char('/') + file)))
                return path(dir);
        }
    }
    return QString();
}

QStringList MachineFacts::packages()
{
    const QString rpmDb = rpmDatabase();
    const QString dpkgStatus = QStringLiteral("/var/lib/dpkg/status");
    QStringList lines;
    if (!rpmDb.isEmpty())
        lines = rpmPackages(rpmDb);
    else if (QFile::exists(path(dpkgStatus)))
        lines = dpkgPackages(dpkgStatus);
    else
        warnOnce(QStringLiteral("packages"),
                 QStringLiteral("No package database below \"%1\": neither an RPM database in /var/lib/rpm or "
                                "/usr/lib/sysimage/rpm nor /var/lib/dpkg/status; the package list stays empty")
                     .arg(m_root));
    std::sort(lines.begin(), lines.end());
    return lines;
}

bool MachineFacts::diskSpace(const QString& mount, QString* withFree, QString* total)
{
    struct statvfs info = {};
    if (::statvfs(QFile::encodeName(path(mount)).constData(), &info) != 0) {
        warnOnce(QStringLiteral("mount ") + mount,
                 QStringLiteral("Cannot read the space of \"%1\": %2; it is left out of the configuration")
                     .arg(path(mount), QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    const quint64 mib = 1024 * 1024;
    const quint64 totalMiB = quint64(info.f_blocks) * info.f_frsize / mib;
    const quint64 freeMiB = quint64(info.f_bavail) * info.f_frsize / mib;
    *withFree = QStringLiteral("%1: %2 MiB free of %3 MiB").arg(mount).arg(freeMiB).arg(totalMiB);
    *total = QStringLiteral("%1: %2 MiB").arg(mount).arg(totalMiB);
    return true;
}

MachineSnapshot MachineFacts::snapshot(const QStringList& mounts)
{
    MachineSnapshot snapshot;
    snapshot.hardware = hardware();
    snapshot.kernelRelease = QString::fromUtf8(
        readFile(QStringLiteral("/proc/sys/kernel/osrelease"), "the kernel release of the configuration").trimmed());
    snapshot.packages = packages();
    QStringList withFree;
    QStringList totals;
    for (const QString& mount : mounts) {
        QString line;
        QString total;
        if (diskSpace(mount, &line, &total)) {
            withFree << line;
            totals << total;
        }
    }
    snapshot.diskSpace = withFree.join(QLatin1Char('\n'));
    snapshot.diskSizes = totals.join(QLatin1Char('\n'));
    return snapshot;
}

QList<WatchdogReset> MachineFacts::watchdogResets()
{
    QList<WatchdogReset> resets;
    const QString classDir = QStringLiteral("/sys/class/watchdog");
    const QDir dir(path(classDir));
    if (!dir.exists())
        return resets;
    const QStringList devices =
        dir.entryList({QStringLiteral("watchdog*")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& device : devices) {
        const QString base = classDir + QLatin1Char('/') + device;
        const QByteArray text = readFile(base + QStringLiteral("/bootstatus"), "its watchdog reset").trimmed();
        if (text.isNull())
            continue;
        bool ok = false;
        const unsigned status = text.startsWith("0x") ? text.mid(2).toUInt(&ok, 16) : text.toUInt(&ok, 10);
        if (!ok) {
            warnOnce(base, QStringLiteral("The bootstatus \"%1\" of %2 is not a number; its watchdog reset is not "
                                          "reported")
                               .arg(QString::fromUtf8(text), path(base)));
            continue;
        }
        if (!(status & cardResetBit))
            continue;
        const QString identity =
            QString::fromUtf8(readFile(base + QStringLiteral("/identity"), nullptr).trimmed());
        resets.append({identity.isEmpty() ? device : QStringLiteral("%1 (%2)").arg(device, identity)});
    }
    return resets;
}

QByteArray MachineFacts::bootId()
{
    QByteArray id = readFile(QStringLiteral("/proc/sys/kernel/random/boot_id"), nullptr).trimmed();
    id.replace('-', QByteArray());
    return id;
}
