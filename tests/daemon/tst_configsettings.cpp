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
    void properties_data();
    void properties();
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

QTEST_GUILESS_MAIN(tst_ConfigSettings)
#include "tst_configsettings.moc"
