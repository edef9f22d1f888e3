#include "metricsfile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class tst_MetricsFile : public QObject
{
    Q_OBJECT

private slots:
    void replacedWholeOrNotAtAll();
};

void tst_MetricsFile::replacedWholeOrNotAtAll()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const mode_t mask = umask(077);
    const auto restoreMask = qScopeGuard([mask] { umask(mask); });
    double value = 1;
    const auto metrics = [&value] {
        return QVector<Metric>{{"tevrik_test_total", "A count.", Metric::Type::Counter, value}};
    };
    MetricsWriter writer(dir.path(), QStringLiteral("test.prom"), metrics);
    QVERIFY(writer.write());
    QFile reader(writer.path());
    QVERIFY(reader.open(QIODevice::ReadOnly));
    const QByteArray first = prometheusText(metrics());

    value = 22;
    QVERIFY(writer.write());
    // A reader of the old file reads it whole; the name now gives the new one, readable by the collector's user.
    QCOMPARE(reader.readAll(), first);
    QFile written(writer.path());
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), prometheusText(metrics()));
    struct stat info = {};
    QCOMPARE(stat(QFile::encodeName(writer.path()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0644));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("test.prom")});

    // A name that cannot be replaced leaves no temporary file behind.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.prom")));
    MetricsWriter blocked(dir.path(), QStringLiteral("taken.prom"), metrics);
    QVERIFY(!blocked.write());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("test.prom")});
}

QTEST_GUILESS_MAIN(tst_MetricsFile)
#include "tst_metricsfile.moc"
