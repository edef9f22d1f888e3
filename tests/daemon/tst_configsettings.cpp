#include "comparelines.h"
#include "configsettings.h"

#include <QtTest>

class tst_ConfigSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void loadConfig_data();
    void loadConfig();
    void loadConfigNotifiesEachSettingOnce();
    void settersNotifyOnEveryCall();
    void problemsFollowTheSetters();
    void limits_data();
    void limits();
    void properties_data();
    void properties();
    void fileWarnings_data();
    void fileWarnings();
};

namespace {

const QString defaultDBPath = QStringLiteral("/var/log/tevriksystemlog/systemlog.db");

QString addressProblem(const QString& text)
{
    return QStringLiteral("Invalid address \"%1\": not a numeric IPv4 or IPv6 address").arg(text);
}

QString portProblem(const QString& text)
{
    return QStringLiteral("Invalid port \"%1\": not a decimal integer from 1 to 65535").arg(text);
}

} // namespace

void tst_ConfigSettings::initTestCase()
{
    // The first use builds the instance, so this is the only place that sees the built-in defaults.
    const ConfigSettings* settings = ConfigSettings::getInstance();
    QCOMPARE(settings->getAddress(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(settings->getPort(), quint16(7777));
    QCOMPARE(settings->getDBPath(), defaultDBPath);
    QCOMPARE(settings->invalidSettings(), QStringList());
}

void tst_ConfigSettings::init()
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setAddress(QHostAddress(QHostAddress::LocalHost));
    settings->setPort(7777);
    settings->setDBPath(defaultDBPath);
}

void tst_ConfigSettings::loadConfig_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("dbpath");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("missing file") << QString() << "127.0.0.1" << 7777 << defaultDBPath << QStringList();
    QTest::newRow("all keys") << "[General Settings]\naddress=::1\nport=8888\ndbpath=/data/log.db\n"
                              << "::1" << 8888 << "/data/log.db" << QStringList();
    QTest::newRow("keys in another group") << "[Other]\naddress=::1\nport=8888\ndbpath=/data/log.db\n"
                                           << "127.0.0.1" << 7777 << defaultDBPath << QStringList();
    QTest::newRow("keys outside any group") << "address=::1\nport=8888\n"
                                            << "127.0.0.1" << 7777 << defaultDBPath << QStringList();
    QTest::newRow("port 65536 wraps to 0") << "[General Settings]\nport=65536\n" << "127.0.0.1" << 0
                                           << defaultDBPath << QStringList{portProblem("65536")};
    QTest::newRow("port 70000 keeps low bits") << "[General Settings]\nport=70000\n" << "127.0.0.1" << 4464
                                               << defaultDBPath << QStringList{portProblem("70000")};
    QTest::newRow("port -1 wraps to 65535") << "[General Settings]\nport=-1\n" << "127.0.0.1" << 65535
                                            << defaultDBPath << QStringList{portProblem("-1")};
    QTest::newRow("port word") << "[General Settings]\nport=seven\n" << "127.0.0.1" << 0 << defaultDBPath
                               << QStringList{portProblem("seven")};
    QTest::newRow("host name address") << "[General Settings]\naddress=localhost\n" << "" << 7777
                                       << defaultDBPath << QStringList{addressProblem("localhost")};
    QTest::newRow("empty address") << "[General Settings]\naddress=\n" << "" << 7777 << defaultDBPath
                                   << QStringList{addressProblem("")};
    QTest::newRow("address and port invalid") << "[General Settings]\nport=0\naddress=host\n" << "" << 0
                                              << defaultDBPath
                                              << QStringList{addressProblem("host"), portProblem("0")};
    QTest::newRow("empty dbpath") << "[General Settings]\ndbpath=\n" << "127.0.0.1" << 7777 << ""
                                  << QStringList{"Invalid dbpath \"\": the database needs a file path"};
    QTest::newRow("dbpath with a comma") << "[General Settings]\ndbpath=/data/a,b.db\n" << "127.0.0.1" << 7777 << ""
                                         << QStringList{"Invalid dbpath \"/data/a,b.db\": a path with a comma must "
                                                        "be in double quotes"};
    QTest::newRow("quoted dbpath with a comma") << "[General Settings]\ndbpath=\"/data/a,b.db\"\n" << "127.0.0.1"
                                                << 7777 << "/data/a,b.db" << QStringList();
}

void tst_ConfigSettings::loadConfig()
{
    QFETCH(QString, ini);
    QFETCH(QString, address);
    QFETCH(int, port);
    QFETCH(QString, dbpath);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(QStringLiteral("tevriksystemlog.conf"));
    if (!ini.isNull()) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini.toUtf8());
    }
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setAddress(QStringLiteral("stale"));
    settings->setPort(1);
    settings->setDBPath(QStringLiteral("stale.db"));

    QCOMPARE(ConfigSettings::loadConfig(fileName), settings);
    QCOMPARE(settings->getAddress().toString(), address);
    QCOMPARE(int(settings->getPort()), port);
    QCOMPARE(settings->getDBPath(), dbpath);
    COMPARE_LINES(settings->invalidSettings(), problems);
}

void tst_ConfigSettings::loadConfigNotifiesEachSettingOnce()
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    QSignalSpy address(settings, &ConfigSettings::addressChanged);
    QSignalSpy port(settings, &ConfigSettings::portChanged);
    QSignalSpy dbPath(settings, &ConfigSettings::dbPathChanged);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ConfigSettings::loadConfig(dir.filePath(QStringLiteral("missing.conf")));

    QCOMPARE(address.count(), 1);
    QCOMPARE(address.at(0).at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(port.count(), 1);
    QCOMPARE(port.at(0).at(0).value<quint16>(), quint16(7777));
    QCOMPARE(dbPath.count(), 1);
    QCOMPARE(dbPath.at(0).at(0).toString(), defaultDBPath);
}

void tst_ConfigSettings::settersNotifyOnEveryCall()
{
    ConfigSettings* settings = ConfigSettings::getInstance();
    QSignalSpy address(settings, &ConfigSettings::addressChanged);
    QSignalSpy port(settings, &ConfigSettings::portChanged);
    QSignalSpy dbPath(settings, &ConfigSettings::dbPathChanged);

    settings->setAddress(QHostAddress(QHostAddress::LocalHost));
    settings->setAddress(QStringLiteral("127.0.0.1"));
    settings->setAddress(QStringLiteral("::1"));
    settings->setPort(7777);
    settings->setPort(7777);
    settings->setDBPath(defaultDBPath);
    settings->setDBPath(defaultDBPath);

    QCOMPARE(address.count(), 3);
    QCOMPARE(address.at(0).at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(address.at(1).at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(address.at(2).at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHostIPv6));
    QCOMPARE(port.count(), 2);
    QCOMPARE(port.at(1).at(0).value<quint16>(), quint16(7777));
    QCOMPARE(dbPath.count(), 2);
    QCOMPARE(dbPath.at(1).at(0).toString(), defaultDBPath);
}

void tst_ConfigSettings::problemsFollowTheSetters()
{
    ConfigSettings* settings = ConfigSettings::getInstance();

    settings->setAddress(QStringLiteral("localhost"));
    QVERIFY(settings->getAddress().isNull());
    COMPARE_LINES(settings->invalidSettings(), QStringList{addressProblem("localhost")});
    settings->setAddress(QHostAddress());
    COMPARE_LINES(settings->invalidSettings(), QStringList{addressProblem("")});
    settings->setAddress(QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(settings->invalidSettings(), QStringList());

    settings->setAddress(QStringLiteral("127.0.0.1x"));
    settings->setAddress(QStringLiteral("::1"));
    QCOMPARE(settings->invalidSettings(), QStringList());

    settings->setPort(0);
    COMPARE_LINES(settings->invalidSettings(), QStringList{portProblem("0")});
    settings->setPort(1);
    QCOMPARE(settings->invalidSettings(), QStringList());

    settings->setDBPath(QString());
    COMPARE_LINES(settings->invalidSettings(),
                  QStringList{QStringLiteral("Invalid dbpath \"\": the database needs a file path")});
    settings->setDBPath(QStringLiteral("/tmp/x.db"));
    QCOMPARE(settings->invalidSettings(), QStringList());
}

void tst_ConfigSettings::limits_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("maxHeld");
    QTest::addColumn<int>("maxAge");
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<bool>("master");
    QTest::addColumn<QStringList>("problems");

    QTest::newRow("absent: 64 MiB held, no pruning, no master") << "[General Settings]\n" << 64 << 0 << 0 << false
                                                                << QStringList();
    QTest::newRow("all set") << "[General Settings]\nmaxheld=8\nmaxage=30\nmaxsize=512\n"
                                "[Master Database]\nconninfo=host=/run/postgresql dbname=tevrik\n"
                             << 8 << 30 << 512 << true << QStringList();
    QTest::newRow("zero turns pruning off and holds nothing") << "[General Settings]\nmaxheld=0\nmaxage=0\nmaxsize=0\n"
                                                              << 0 << 0 << 0 << false << QStringList();
    QTest::newRow("upper bounds") << "[General Settings]\nmaxheld=1048576\nmaxage=36500\nmaxsize=1048576\n"
                                  << 1048576 << 36500 << 1048576 << false << QStringList();
    QTest::newRow("empty conninfo is no master") << "[Master Database]\nconninfo=\n" << 64 << 0 << 0 << false
                                                 << QStringList();
    QTest::newRow("limits in the master group are not read") << "[Master Database]\nmaxage=3\nconninfo=x\n"
                                                             << 64 << 0 << 0 << true << QStringList();
    QTest::newRow("words, signs, fractions and overflow")
        << "[General Settings]\nmaxheld=lots\nmaxage=-1\nmaxsize=1.5\n" << 64 << 0 << 0 << false
        << QStringList{"Invalid maxheld \"lots\": not a whole number of MiB from 0 to 1048576",
                       "Invalid maxage \"-1\": not a whole number of days from 0 to 36500",
                       "Invalid maxsize \"1.5\": not a whole number of MiB from 0 to 1048576"};
    QTest::newRow("above the bounds") << "[General Settings]\nmaxheld=1048577\nmaxage=99999999999\nmaxsize=\n"
                                      << 64 << 0 << 0 << false
                                      << QStringList{"Invalid maxheld \"1048577\": not a whole number of MiB from 0 "
                                                     "to 1048576",
                                                     "Invalid maxage \"99999999999\": not a whole number of days "
                                                     "from 0 to 36500",
                                                     "Invalid maxsize \"\": not a whole number of MiB from 0 to "
                                                     "1048576"};
    QTest::newRow("a list is no number") << "[General Settings]\nmaxage=1,2\nport=0\n" << 64 << 0 << 0 << false
                                         << QStringList{portProblem("0"),
                                                        "Invalid maxage \"1,2\": not a whole number of days from 0 "
                                                        "to 36500"};
}

void tst_ConfigSettings::limits()
{
    QFETCH(QString, ini);
    QFETCH(int, maxHeld);
    QFETCH(int, maxAge);
    QFETCH(int, maxSize);
    QFETCH(bool, master);
    QFETCH(QStringList, problems);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString stale = dir.filePath(QStringLiteral("stale.conf"));
    const QString fileName = dir.filePath(QStringLiteral("tevriksystemlog.conf"));
    for (const auto& [name, text] : {std::make_pair(stale, QStringLiteral("[General Settings]\nmaxheld=1\nmaxage=x\n"
                                                                         "[Master Database]\nconninfo=y\n")),
                                     std::make_pair(fileName, ini)}) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
    }
    // A second load replaces every value and problem of the first.
    ConfigSettings::loadConfig(stale);
    const ConfigSettings* settings = ConfigSettings::loadConfig(fileName);
    QCOMPARE(settings->getMaxHeldMiB(), maxHeld);
    QCOMPARE(settings->getMaxAgeDays(), maxAge);
    QCOMPARE(settings->getMaxSizeMiB(), maxSize);
    QCOMPARE(settings->isMasterConfigured(), master);
    COMPARE_LINES(settings->invalidSettings(), problems);
}

void tst_ConfigSettings::properties_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("notifySignal");

    QTest::newRow("address") << QByteArray("address") << QVariant::fromValue(QHostAddress(QHostAddress::LocalHostIPv6))
                             << QByteArray("addressChanged(QHostAddress)");
    QTest::newRow("port") << QByteArray("port") << QVariant::fromValue(quint16(8080))
                          << QByteArray("portChanged(ushort)");
    QTest::newRow("dbpath") << QByteArray("dbpath") << QVariant(QStringLiteral("/data/log.db"))
                            << QByteArray("dbPathChanged(QString)");
}

void tst_ConfigSettings::properties()
{
    QFETCH(QByteArray, name);
    QFETCH(QVariant, value);
    QFETCH(QByteArray, notifySignal);

    ConfigSettings* settings = ConfigSettings::getInstance();
    const QMetaObject* meta = settings->metaObject();
    const QMetaProperty property = meta->property(meta->indexOfProperty(name.constData()));
    QVERIFY(property.isValid());
    QCOMPARE(property.notifySignal().methodSignature(), notifySignal);

    QVERIFY(settings->setProperty(name.constData(), value));
    QCOMPARE(settings->property(name.constData()), value);
}

void tst_ConfigSettings::fileWarnings_data()
{
    QTest::addColumn<QString>("ini");
    // %1 stands for the file's path.
    QTest::addColumn<QStringList>("warnings");

    // The installed configuration with every key that it shows commented out set.
    QFile installed(QStringLiteral(TEVRIK_INSTALLED_CONFIG));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QTest::newRow("the installed file with every key set")
        << QString::fromUtf8(installed.readAll())
               .replace(QRegularExpression("^;([a-z]+=)", QRegularExpression::MultilineOption), "\\1")
        << QStringList();
    QTest::newRow("the collector's section") << "[Collect]\ncoredumps=1\nboots=1\nwatchdogs=1\nloadinterval=60\n"
                                                "configinterval=3600\nmounts=/\nstatefile=/var/lib/x\n"
                                             << QStringList();
    QTest::newRow("every kind of mistake")
        << "port=7000\n# the lab's\n[general settings]\nport=1\n[Colect]\nboots=1\n[Extra]\nx=1\n"
           "[General Settings]\nmaxsise=1\n"
           "[Master Database]\nmaxage=30\nbatchsise=5\nfrobnicate=1\n"
        << QStringList{"Line 2 of \"%1\" is neither [section] nor key=value (comments begin with \";\"): ignored",
                       "Key \"port\" of \"%1\" is outside any section: ignored; it belongs in section [General "
                       "Settings]",
                       "Unknown section [Colect] in \"%1\": its keys are ignored; did you mean [Collect]?",
                       "Unknown section [Extra] in \"%1\": its keys are ignored",
                       "Unknown key \"maxsise\" in section [General Settings] of \"%1\": ignored; did you mean "
                       "\"maxsize\"?",
                       "Unknown key \"batchsise\" in section [Master Database] of \"%1\": ignored; did you mean "
                       "\"batchsize\"?",
                       "Unknown key \"frobnicate\" in section [Master Database] of \"%1\": ignored",
                       "Unknown key \"maxage\" in section [Master Database] of \"%1\": ignored; it belongs in "
                       "section [General Settings]",
                       "Unknown section [general settings] in \"%1\": its keys are ignored; did you mean [General "
                       "Settings]?"};
}

void tst_ConfigSettings::fileWarnings()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, warnings);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(QStringLiteral("tevriksystemlog.conf"));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(ini.toUtf8()) == ini.toUtf8().size());
    file.close();
    QStringList expected;
    for (const QString& warning : warnings)
        expected << warning.arg(fileName);
    COMPARE_LINES(ConfigSettings::loadConfig(fileName)->fileWarnings(), expected);
}

QTEST_GUILESS_MAIN(tst_ConfigSettings)
#include "tst_configsettings.moc"
