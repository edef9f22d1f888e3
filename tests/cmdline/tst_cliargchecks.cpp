#include "cliargs.h"
#include "cliargtestutil.h"

#include <QtTest>

#include <algorithm>

namespace {

QList<QChar> flagList(const QString& flags)
{
    QList<QChar> list;
    for (const QChar& flag : flags)
        list.append(flag);
    return list;
}

// Accepts values made of digits only.
class DigitsOnly : public CliArgConstraintIface
{
public:
    bool check(const QVariant& value) override
    {
        const QString text = value.toString();
        return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit(); });
    }
};

} // namespace

class tst_CliArgChecks : public QObject
{
    Q_OBJECT

private slots:
    void declarations_data();
    void declarations();
    void declarationsCheckedAgainAtParse();
    void registeringTwiceHasNoEffect();
    void afterParse_data();
    void afterParse();
    void constraints_data();
    void constraints();
    void statesBeforeParse();
    void exceptionTexts();
    void markUnrequiredPart_data();
    void markUnrequiredPart();
};

void tst_CliArgChecks::declarations_data()
{
    QTest::addColumn<QString>("firstFlags");
    QTest::addColumn<QStringList>("firstNames");
    QTest::addColumn<QString>("secondFlags");
    QTest::addColumn<QStringList>("secondNames");
    QTest::addColumn<QByteArray>("expectedType");
    QTest::addColumn<QString>("expectedError");

    const QByteArray dissallowed = typeid(CliArgDissallowedFlagOrNameEx).name();
    const QByteArray known = typeid(CliArgNameOrFlagAlreadyKnownEx).name();
    const QStringList port{"port"};
    const QStringList zeta{"zeta"};
    QTest::newRow("flag equal to the delimiter") << "-" << port << "z" << zeta << dissallowed
                                                 << "Dissallowed flag: \"-\".";
    QTest::newRow("question mark as flag") << "?" << port << "z" << zeta << dissallowed << "Dissallowed flag: \"?\".";
    QTest::newRow("second flag disallowed") << "p!" << port << "z" << zeta << dissallowed
                                            << "Dissallowed flag: \"!\".";
    QTest::newRow("null flag without name") << QString(QChar()) << QStringList() << "z" << zeta << dissallowed
                                            << QStringLiteral("Dissallowed flag: \"%1\".").arg(QChar());
    QTest::newRow("flag used twice") << "d" << QStringList{"debug"} << "d" << QStringList{"dump"} << known
                                     << "Flag already in use: d.";
    QTest::newRow("flag repeated in one argument") << "dd" << port << "z" << zeta << known
                                                   << "Flag already in use: d.";
    QTest::newRow("name with a blank") << "p" << QStringList{"my port"} << "z" << zeta << dissallowed
                                       << "Dissallowed name: \"my port\".";
    QTest::newRow("name with a tab") << "p" << QStringList{"my\tport"} << "z" << zeta << dissallowed
                                     << "Dissallowed name: \"my\tport\".";
    QTest::newRow("empty name in a list") << "p" << QStringList{"port", ""} << "z" << zeta << dissallowed
                                          << "Dissallowed name: \"\".";
    QTest::newRow("name used twice") << "p" << port << "q" << port << known << "Name already in use: port.";
    QTest::newRow("flag checked before names") << "?" << QStringList{"a b"} << "z" << zeta << dissallowed
                                               << "Dissallowed flag: \"?\".";
    QTest::newRow("neither flag nor name") << "" << QStringList() << "z" << zeta
                                           << QByteArray(typeid(CliArgNotDefinedNorNameNorFlagEx).name())
                                           << "Not defined nor name nor flag for argument.";
    QTest::newRow("flag and name alike") << "p" << QStringList{"p"} << "z" << zeta << QByteArray() << QString();
    QTest::newRow("letters of any script and digits") << QString::fromUtf8("é7") << port << "z" << zeta
                                                      << QByteArray() << QString();
    QTest::newRow("name prefix of another") << "p" << port << "q" << QStringList{"portable"} << QByteArray()
                                            << QString();
    QTest::newRow("name with delimiters") << "p" << QStringList{"-x"} << "z" << zeta << QByteArray() << QString();
}

void tst_CliArgChecks::declarations()
{
    QFETCH(QString, firstFlags);
    QFETCH(QStringList, firstNames);
    QFETCH(QString, secondFlags);
    QFETCH(QStringList, secondNames);
    QFETCH(QByteArray, expectedType);
    QFETCH(QString, expectedError);

    CliArgCmdLine cmdLine{QStringList()};
    CliArg first(QChar(), firstNames, QString(), false, false, nullptr, nullptr);
    first.setFlags(flagList(firstFlags));
    CliArg second(QChar(), secondNames, QString(), false, false, nullptr, nullptr);
    second.setFlags(flagList(secondFlags));
    QByteArray type;
    const QString error = thrownText(
        [&] {
            cmdLine.addArg(first);
            cmdLine.addArg(second);
        },
        &type);
    QCOMPARE(error, expectedError);
    QCOMPARE(type, expectedType);
}

void tst_CliArgChecks::declarationsCheckedAgainAtParse()
{
    CliArgCmdLine cmdLine(QStringList{"-d"});
    CliArg debug(QLatin1Char('d'), QStringLiteral("debug"), QString(), false, false, nullptr, nullptr);
    CliArg dump(QLatin1Char('d'), QStringLiteral("dump"), QString(), false, false, nullptr, nullptr);
    cmdLine.addArg(debug);
    QCOMPARE(thrownText([&] { cmdLine.addArg(dump); }), QStringLiteral("Flag already in use: d."));
    QCOMPARE(cmdLine.arguments().size(), 2);
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }), QStringLiteral("Flag already in use: d."));
    QVERIFY(!debug.isPresent());

    dump.setFlag(QLatin1Char('u'));
    cmdLine.setDelimiter(QLatin1Char('u'));
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }), QStringLiteral("Dissallowed flag: \"u\"."));
}

void tst_CliArgChecks::registeringTwiceHasNoEffect()
{
    CliArgCmdLine cmdLine(QStringList{"-d"});
    CliArg debug(QLatin1Char('d'), QStringLiteral("debug"), QString(), false, false, nullptr, nullptr);
    cmdLine.addArg(debug);
    cmdLine.addArg(&debug);
    QCOMPARE(cmdLine.arguments(), QList<CliArgIface*>{&debug});
    cmdLine.parse(false);
    QVERIFY(debug.isDefined());
}

void tst_CliArgChecks::afterParse_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QByteArray>("expectedType");
    QTest::addColumn<QString>("expectedError");

    const QByteArray mandatory = typeid(CliArgNotDefinedMandatoryArgumentEx).name();
    const QByteArray noValue = typeid(CliArgNotDefinedOptionForTheArgumentEx).name();
    const QByteArray xorMask = typeid(CliArgXORMaskNotObservedEx).name();
    const QString bothGiven = QStringLiteral("Defined more than one argument under XOR mask. First defined argument: "
                                             "address. Second defined argument: host.");
    QTest::newRow("nothing given") << QStringList() << mandatory << "Not defined mandatory argument: configfile";
    QTest::newRow("required without names") << QStringList{"-c", "f"} << mandatory
                                            << "Not defined mandatory argument: x";
    QTest::newRow("required value missing") << QStringList{"-x", "-c"} << noValue
                                            << "Not defined value of the argument: configfile";
    QTest::newRow("required group missing") << QStringList{"-xc", "f"} << mandatory
                                            << "Not defined mandatory argument: target";
    QTest::newRow("group member without value") << QStringList{"-xc", "f", "-a"} << mandatory
                                                << "Not defined mandatory argument: target";
    QTest::newRow("all given") << QStringList{"-xc", "f", "-a", "1"} << QByteArray() << QString();
    QTest::newRow("second member") << QStringList{"-xc", "f", "--host", "h"} << QByteArray() << QString();
    QTest::newRow("both members") << QStringList{"-xc", "f", "-a", "1", "-b", "h"} << xorMask << bothGiven;
    QTest::newRow("both members, second first") << QStringList{"-b", "h", "-a", "1", "-xc", "f"} << xorMask
                                                << bothGiven;
    QTest::newRow("member value missing") << QStringList{"-xc", "f", "-a", "1", "-b"} << noValue
                                          << "Not defined value of the argument: host";
    QTest::newRow("group checked before a later argument") << QStringList{"-xc", "f", "-p"} << mandatory
                                                           << "Not defined mandatory argument: target";
    QTest::newRow("later argument checked last") << QStringList{"-xc", "f", "-a", "1", "-p"} << noValue
                                                 << "Not defined value of the argument: port";
}

void tst_CliArgChecks::afterParse()
{
    QFETCH(QStringList, words);
    QFETCH(QByteArray, expectedType);
    QFETCH(QString, expectedError);

    CliArgCmdLine cmdLine(words);
    CliArg config(QLatin1Char('c'), QStringLiteral("configfile"), QString(), true, true, nullptr, nullptr);
    CliArg flagOnly(QLatin1Char('x'), QString(), QString(), true, false, nullptr, nullptr);
    CliArg address(QLatin1Char('a'), QStringLiteral("address"), QString(), false, true, nullptr, nullptr);
    CliArg host(QLatin1Char('b'), QStringLiteral("host"), QString(), false, true, nullptr, nullptr);
    CliXorArg target(QStringLiteral("target"), {&address, &host}, true);
    CliArg port(QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, nullptr);
    for (CliArgIface* arg : QList<CliArgIface*>{&config, &flagOnly, &target, &port})
        cmdLine.addArg(arg);
    QByteArray type;
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }, &type), expectedError);
    QCOMPARE(type, expectedType);
}

void tst_CliArgChecks::constraints_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<int>("expectedPayloadCount");

    const QString refusedPort = QStringLiteral("Constraint for the argument: port hasn't observed. Wrong value is: abc");
    QTest::newRow("accepted") << QStringList{"-r", "-p", "1", "-m", "2"} << QString() << 1;
    QTest::newRow("refused value") << QStringList{"-r", "-p", "abc"} << refusedPort << 0;
    QTest::newRow("refused before the checks after the parse") << QStringList{"-p", "abc"} << refusedPort << 0;
    QTest::newRow("refused at its occurrence") << QStringList{"-p", "abc", "--nosuch"} << refusedPort << 0;
    QTest::newRow("unknown option before it") << QStringList{"--nosuch", "-p", "abc"} << "Unknown argument: --nosuch"
                                              << 0;
    QTest::newRow("refused list element")
        << QStringList{"-m", "1", "-m", "abc", "-m", "2"}
        << "Constraint for the argument: msgpayload hasn't observed. Wrong value is: abc" << 2;
    QTest::newRow("missing value not checked") << QStringList{"-r", "-p"}
                                               << "Not defined value of the argument: port" << 0;
}

void tst_CliArgChecks::constraints()
{
    QFETCH(QStringList, words);
    QFETCH(QString, expectedError);
    QFETCH(int, expectedPayloadCount);

    DigitsOnly digitsOnly;
    CliArgCmdLine cmdLine(words);
    CliArg port(QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, &digitsOnly);
    CliMultiArg payload(QLatin1Char('m'), {QStringLiteral("msgpayload")}, QString(), false, true, nullptr,
                        &digitsOnly);
    CliArg required(QLatin1Char('r'), QStringLiteral("required"), QString(), true, false, nullptr, nullptr);
    for (CliArgIface* arg : QList<CliArgIface*>{&port, &payload, &required})
        cmdLine.addArg(arg);
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }), expectedError);
    QCOMPARE(payload.count(), expectedPayloadCount);
}

void tst_CliArgChecks::statesBeforeParse()
{
    CliArg withValue(QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, nullptr);
    QVERIFY(!withValue.value().isValid());
    QVERIFY(!withValue.isDefined());
    QVERIFY(!withValue.isPresent());
    withValue.check();

    CliMultiArg withoutValue(QLatin1Char('d'), {}, QString(), false, false, nullptr, nullptr);
    QCOMPARE(withoutValue.value(), QVariant(false));
    QVERIFY(!withoutValue.isDefined());
    QVERIFY(!withoutValue.isPresent());
    QCOMPARE(withoutValue.count(), 0);

    withValue.setPresent(true);
    QVERIFY(!withValue.isDefined());
    withValue.setDefined(true);
    withValue.setDefined(false);
    QVERIFY(!withValue.isPresent());
}

void tst_CliArgChecks::exceptionTexts()
{
    const QString message = QString::fromUtf8("Unknown argument: --pört");
    const CliArgUnknownArgumentEx unknown(message);
    QCOMPARE(QByteArray(unknown.what()), message.toLocal8Bit());
    QCOMPARE(unknown.message(), message);
    QCOMPARE(QByteArray(CliArgNotDefinedNorNameNorFlagEx().what()),
             QByteArray("Not defined nor name nor flag for argument."));
    QCOMPARE(QByteArray(CliArgHelpHasPrintedEx().what()), QByteArray());
}

void tst_CliArgChecks::markUnrequiredPart_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("expected");

    const QStringList daemon{"configfile", "address", "port", "debugMsgs", "help"};
    const QStringList debug{"debug", "debugMsgs"};
    QTest::newRow("first letter unique") << "configfile" << daemon << "c[onfigfile]";
    QTest::newRow("prefix of another name") << "debug" << debug << "debug";
    QTest::newRow("longer name") << "debugMsgs" << debug << "debugM[sgs]";
    QTest::newRow("shares every prefix") << "port" << QStringList{"port", "portable"} << "port";
    QTest::newRow("unique after five letters") << "portable" << QStringList{"port", "portable"} << "porta[ble]";
    QTest::newRow("single letter") << "x" << QStringList{"x"} << "x";
    QTest::newRow("a capital is another letter") << "port" << QStringList{"port", "Path"} << "p[ort]";
}

void tst_CliArgChecks::markUnrequiredPart()
{
    QFETCH(QString, name);
    QFETCH(QStringList, names);
    QFETCH(QString, expected);

    markUnrequiredPartOfTheName(name, names);
    QCOMPARE(name, expected);
}

QTEST_APPLESS_MAIN(tst_CliArgChecks)

#include "tst_cliargchecks.moc"
