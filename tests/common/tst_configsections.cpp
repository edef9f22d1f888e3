#include "comparelines.h"
#include "configsections.h"

#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_ConfigSections : public QObject
{
    Q_OBJECT

private slots:
    void fileWarnings_data();
    void fileWarnings();
};

namespace {

// The installed configuration with every key that it shows commented out set.
QString installedFileWithEveryKey()
{
    QFile file(QStringLiteral(TEVRIK_INSTALLED_CONFIG));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", TEVRIK_INSTALLED_CONFIG);
    QString text = QString::fromUtf8(file.readAll());
    text.replace(QRegularExpression(QStringLiteral("^;([a-z]+=)"), QRegularExpression::MultilineOption),
                 QStringLiteral("\\1"));
    return text;
}

} // namespace

void tst_ConfigSections::fileWarnings_data()
{
    QTest::addColumn<QString>("ini");
    // The sections checked; none is the whole file.
    QTest::addColumn<QStringList>("sections");
    // %1 stands for the file's path.
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("the installed file with every key set") << installedFileWithEveryKey() << QStringList()
                                                            << QStringList();
    QTest::newRow("the collector's section")
        << "[Collect]\ncoredumps=1\nboots=1\nwatchdogs=1\nloadinterval=60\nconfiginterval=3600\nmounts=/\n"
           "statefile=/var/lib/x\n"
        << QStringList() << QStringList();
    QTest::newRow("a misspelt key") << "[General Settings]\nmaxsise=100\nprot=7000\n" << QStringList()
                                    << QStringList{
                                           "Unknown key \"maxsise\" in section [General Settings] of \"%1\": ignored; "
                                           "did you mean \"maxsize\"?",
                                           "Unknown key \"prot\" in section [General Settings] of \"%1\": ignored; did "
                                           "you mean \"port\"?"};
    QTest::newRow("a misspelt section, another case") << "[general settings]\nport=7000\n[Colect]\nboots=1\n"
                                                      << QStringList()
                                                      << QStringList{"Unknown section [Colect] in \"%1\": its keys are "
                                                                     "ignored; did you mean [Collect]?",
                                                                     "Unknown section [general settings] in \"%1\": its "
                                                                     "keys are ignored; did you mean [General "
                                                                     "Settings]?"};
    QTest::newRow("nothing close") << "[Extra]\nx=1\n[Collect]\nfrobnicate=1\n" << QStringList()
                                   << QStringList{"Unknown key \"frobnicate\" in section [Collect] of \"%1\": ignored",
                                                  "Unknown section [Extra] in \"%1\": its keys are ignored"};
    QTest::newRow("a key of another section") << "[Master Database]\nmaxage=30\n" << QStringList()
                                              << QStringList{"Unknown key \"maxage\" in section [Master Database] of "
                                                             "\"%1\": ignored; it belongs in section [General "
                                                             "Settings]"};
    QTest::newRow("keys outside any section") << "port=7000\n[General Settings]\n" << QStringList()
                                              << QStringList{"Key \"port\" of \"%1\" is outside any section: ignored; "
                                                             "it belongs in section [General Settings]"};
    QTest::newRow("stray lines") << "# the lab's\n[General Settings\n; fine\nport=7000 \\\nand on\n" << QStringList()
                                 << QStringList{"Line 1 of \"%1\" is neither [section] nor key=value (comments begin "
                                                "with \";\"): ignored",
                                                "Line 2 of \"%1\" is neither [section] nor key=value (comments begin "
                                                "with \";\"): ignored"};
    QTest::newRow("only the named section")
        << "top=1\n[General Settings]\nprot=1\n[Extra]\nx=1\n[Master Database]\nbatchsise=5\n"
        << QStringList{"Master Database"}
        << QStringList{"Unknown key \"batchsise\" in section [Master Database] of \"%1\": ignored; did you mean "
                       "\"batchsize\"?"};
}

void tst_ConfigSections::fileWarnings()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, sections);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(QStringLiteral("tevriksystemlog.conf"));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini.toUtf8());
    file.close();

    QSettings settings(fileName, QSettings::IniFormat);
    QStringList expected;
    for (const QString& warning : warnings)
        expected << warning.arg(fileName);
    COMPARE_LINES(configFileWarnings(settings, sections), expected);
}

QTEST_GUILESS_MAIN(tst_ConfigSections)
#include "tst_configsections.moc"
