#include "cliargs.h"
#include "cliargtestutil.h"

#include <QtTest>

#include <limits>
#include <memory>
#include <vector>

namespace {

// A value option, a counted flag and a repeatable value option, registered in this order.
struct Options
{
    explicit Options(const QStringList& words)
        : cmdLine(words)
    {
        for (CliArgIface* arg : QList<CliArgIface*>{&port, &debug, &payload})
            cmdLine.addArg(arg);
    }

    CliArgCmdLine cmdLine;
    CliArg port{QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, nullptr};
    CliMultiArg debug{QLatin1Char('d'), {QStringLiteral("debugMsgs")}, QString(), false, false, nullptr, nullptr};
    CliMultiArg payload{QLatin1Char('m'), {QStringLiteral("msgpayload")}, QString(), false, true, nullptr, nullptr};
};

// Takes the next token from the main stream, as the help option does with its topic.
class TokenReader : public CliArgVisitorIface
{
public:
    void visit(CliArgCmdLineContext& context) override { tokens.append(context.next()); }

    QStringList tokens;
};

} // namespace

class tst_CliArgParse : public QObject
{
    Q_OBJECT

private slots:
    void valueForms_data();
    void valueForms();
    void repeatCounts_data();
    void repeatCounts();
    void repeatedValues_data();
    void repeatedValues();
    void abbreviations_data();
    void abbreviations();
    void tokenErrors_data();
    void tokenErrors();
    void doubleDelimiter_data();
    void doubleDelimiter();
    void visitorReadsMainStream_data();
    void visitorReadsMainStream();
    void tokensFromArgv();
    void tokenStream();
};

void tst_CliArgParse::valueForms_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("expectedPort");
    QTest::addColumn<int>("expectedDebugCount");

    QTest::newRow("long name, separate value") << QStringList{"--port", "7777"} << "7777" << 0;
    QTest::newRow("long name with =") << QStringList{"--port=7777"} << "7777" << 0;
    QTest::newRow("abbreviated name") << QStringList{"--po", "7777"} << "7777" << 0;
    QTest::newRow("flag, separate value") << QStringList{"-p", "7777"} << "7777" << 0;
    QTest::newRow("flag, attached value") << QStringList{"-p7777"} << "7777" << 0;
    QTest::newRow("flag with =") << QStringList{"-p=7777"} << "7777" << 0;
    QTest::newRow("empty value after =") << QStringList{"--port="} << "" << 0;
    QTest::newRow("value that looks like a flag") << QStringList{"-p", "-d"} << "-d" << 0;
    QTest::newRow("value after a cluster") << QStringList{"-dp", "7777"} << "7777" << 1;
    QTest::newRow("cluster rest is the value") << QStringList{"-pd"} << "d" << 0;
    QTest::newRow("second occurrence replaces") << QStringList{"-p", "1", "--port", "2"} << "2" << 0;
    QTest::newRow("value holding =") << QStringList{"--port=a=b"} << "a=b" << 0;
}

void tst_CliArgParse::valueForms()
{
    QFETCH(QStringList, words);
    QFETCH(QString, expectedPort);
    QFETCH(int, expectedDebugCount);

    Options options(words);
    QCOMPARE(thrownText([&] { options.cmdLine.parse(false); }), QString());
    QVERIFY(options.port.isDefined());
    QVERIFY(options.port.isPresent());
    QCOMPARE(options.port.value().userType(), int(QMetaType::QString));
    QCOMPARE(options.port.value().toString(), expectedPort);
    QCOMPARE(options.debug.count(), expectedDebugCount);
}

void tst_CliArgParse::repeatCounts_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<int>("expectedCount");
    QTest::addColumn<QString>("expectedPort");

    const QString none;
    QTest::newRow("two flags") << QStringList{"-d", "-d"} << 2 << none;
    QTest::newRow("clustered") << QStringList{"-dd"} << 2 << none;
    QTest::newRow("three long names") << QStringList{"--debugMsgs", "--debug", "--d"} << 3 << none;
    QTest::newRow("separate number") << QStringList{"-d", "3"} << 3 << none;
    QTest::newRow("attached number") << QStringList{"-d3"} << 3 << none;
    QTest::newRow("number after =") << QStringList{"--debugMsgs=3"} << 3 << none;
    QTest::newRow("zero") << QStringList{"-d", "0"} << 0 << none;
    QTest::newRow("negative number") << QStringList{"-d", "-2"} << -2 << none;
    QTest::newRow("numbers add up") << QStringList{"-d", "2", "-d5", "-d"} << 8 << none;
    QTest::newRow("option after it is given back") << QStringList{"-d", "-p", "7777"} << 1 << "7777";
    QTest::newRow("count stops at the largest int")
        << QStringList{"-d", "2147483647", "-d", "-d1"} << std::numeric_limits<int>::max() << none;
    QTest::newRow("count stops at the smallest int")
        << QStringList{"-d", "-2147483648", "-d", "-1"} << std::numeric_limits<int>::min() << none;
}

void tst_CliArgParse::repeatCounts()
{
    QFETCH(QStringList, words);
    QFETCH(int, expectedCount);
    QFETCH(QString, expectedPort);

    Options options(words);
    QCOMPARE(thrownText([&] { options.cmdLine.parse(false); }), QString());
    QCOMPARE(options.debug.count(), expectedCount);
    QVERIFY(options.debug.isPresent());
    QVERIFY(options.debug.isDefined());
    QCOMPARE(options.debug.value(), QVariant(true));
    QCOMPARE(options.port.value().toString(), expectedPort);
}

void tst_CliArgParse::repeatedValues_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QStringList>("expectedValues");
    QTest::addColumn<int>("expectedCount");

    QTest::newRow("three values in order") << QStringList{"-m", "a", "-m", "b", "--msgpayload", "c"}
                                           << QStringList{"a", "b", "c"} << 3;
    QTest::newRow("attached and after =") << QStringList{"-ma", "-m=b", "--msg=c"} << QStringList{"a", "b", "c"}
                                          << 3;
    QTest::newRow("value missing at the end") << QStringList{"-m", "a", "-m"} << QStringList{"a"} << 2;
}

void tst_CliArgParse::repeatedValues()
{
    QFETCH(QStringList, words);
    QFETCH(QStringList, expectedValues);
    QFETCH(int, expectedCount);

    Options options(words);
    QCOMPARE(thrownText([&] { options.cmdLine.parse(false); }), QString());
    QCOMPARE(options.payload.value().toStringList(), expectedValues);
    QCOMPARE(options.payload.count(), expectedCount);
    QVERIFY(options.payload.isDefined());
}

void tst_CliArgParse::abbreviations_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("word");
    QTest::addColumn<int>("expectedIndex");
    QTest::addColumn<QString>("expectedError");

    const QStringList port{"port", "portable"};
    QTest::newRow("unique prefix") << QStringList{"configfile", "address"} << "--conf" << 0 << QString();
    QTest::newRow("exact name before a longer one") << port << "--port" << 0 << QString();
    QTest::newRow("prefix unique to the longer name") << port << "--porta" << 1 << QString();
    QTest::newRow("ambiguous prefix") << port << "--p" << -1 << "Unknown argument: --p";
    QTest::newRow("exact name registered after a prefix name")
        << QStringList{"debugMsgs", "debug"} << "--debug" << 1 << QString();
    QTest::newRow("prefix, prefix, exact") << QStringList{"portable", "portal", "port"} << "--port" << -1
                                           << "Unknown argument: --port";
    QTest::newRow("exact, prefix, prefix") << QStringList{"port", "portable", "portal"} << "--port" << 0
                                           << QString();
    QTest::newRow("names are case-sensitive") << QStringList{"Port"} << "--port" << -1 << "Unknown argument: --port";
    QTest::newRow("longer than the name") << QStringList{"configfile"} << "--configfiles" << -1
                                          << "Unknown argument: --configfiles";
    QTest::newRow("three delimiters") << QStringList{"port"} << "---port" << -1 << "Unknown argument: ---port";
    QTest::newRow("three delimiters, name with delimiter") << QStringList{"-x"} << "---x" << 0 << QString();
}

void tst_CliArgParse::abbreviations()
{
    QFETCH(QStringList, names);
    QFETCH(QString, word);
    QFETCH(int, expectedIndex);
    QFETCH(QString, expectedError);

    CliArgCmdLine cmdLine(QStringList{word, "value"});
    std::vector<std::unique_ptr<CliArg>> args;
    for (const QString& name : qAsConst(names)) {
        args.push_back(std::make_unique<CliArg>(QChar(), name, QString(), false, true, nullptr, nullptr));
        args.back()->setFlags({});
        cmdLine.addArg(args.back().get());
    }
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }), expectedError);
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(args.at(size_t(i))->isDefined(), i == expectedIndex);
}

void tst_CliArgParse::tokenErrors_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<int>("expectedDebugCount");

    QTest::newRow("word first") << QStringList{"foo"} << "Unexpected option: foo. Argument \"\" doesn't expect any values."
                                << 0;
    QTest::newRow("word after an option without value")
        << QStringList{"-d", "foo"} << "Unexpected option: foo. Argument \"-d\" doesn't expect any values." << 1;
    QTest::newRow("word after a value") << QStringList{"--po", "1", "foo"}
                                        << "Unexpected option: foo. Argument \"--po\" doesn't expect any values."
                                        << 0;
    QTest::newRow("non-number after =") << QStringList{"--debugMsgs=x"}
                                        << "Unexpected option: x. Argument \"--debugMsgs\" doesn't expect any values."
                                        << 1;
    QTest::newRow("word with =") << QStringList{"foo=bar"}
                                 << "Unexpected option: foo. Argument \"\" doesn't expect any values." << 0;
    QTest::newRow("placeholders in the word stay as typed")
        << QStringList{"-d", "%2%1"} << "Unexpected option: %2%1. Argument \"-d\" doesn't expect any values." << 1;
    QTest::newRow("unknown name") << QStringList{"--nosuch"} << "Unknown argument: --nosuch" << 0;
    QTest::newRow("unknown flag") << QStringList{"-x"} << "Unknown argument: -x" << 0;
    QTest::newRow("unknown flag after a known one") << QStringList{"-dx"} << "Unknown argument: -x" << 1;
    QTest::newRow("unknown name with three delimiters") << QStringList{"---x"} << "Unknown argument: ---x" << 0;
    QTest::newRow("value missing after name") << QStringList{"--port"} << "Not defined value of the argument: port"
                                              << 0;
    QTest::newRow("value missing after flag") << QStringList{"-d", "-p"}
                                              << "Not defined value of the argument: port" << 1;
    QTest::newRow("lone delimiter") << QStringList{"-", "-d"} << QString() << 1;
    QTest::newRow("lone delimiter with value") << QStringList{"-=3"}
                                               << "Unexpected option: 3. Argument \"\" doesn't expect any values."
                                               << 0;
    QTest::newRow("no words") << QStringList() << QString() << 0;
}

void tst_CliArgParse::tokenErrors()
{
    QFETCH(QStringList, words);
    QFETCH(QString, expectedError);
    QFETCH(int, expectedDebugCount);

    Options options(words);
    QCOMPARE(thrownText([&] { options.cmdLine.parse(false); }), expectedError);
    QCOMPARE(options.debug.count(), expectedDebugCount);
}

void tst_CliArgParse::doubleDelimiter_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<bool>("parseAfterDoubleDelimiter");
    QTest::addColumn<QString>("expectedError");
    QTest::addColumn<QString>("expectedPort");

    const QString missingType = QStringLiteral("Not defined mandatory argument: type");
    QTest::newRow("stops the parse") << QStringList{"-t", "x", "--", "-p", "1"} << false << QString() << QString();
    QTest::newRow("stops before the checks") << QStringList{"--", "-t", "x"} << false << QString() << QString();
    QTest::newRow("stops before a word") << QStringList{"--", "foo"} << false << QString() << QString();
    QTest::newRow("with = stops the parse") << QStringList{"--=x", "-p", "1"} << false << QString() << QString();
    QTest::newRow("skipped") << QStringList{"-t", "x", "--", "-p", "1"} << true << QString() << "1";
    QTest::newRow("skipped, checks run") << QStringList{"-p", "1", "--"} << true << missingType << "1";
    QTest::newRow("skipped, word after it")
        << QStringList{"-t", "x", "--", "foo"} << true
        << "Unexpected option: foo. Argument \"-t\" doesn't expect any values." << QString();
    QTest::newRow("lone delimiter is skipped") << QStringList{"-", "-t", "x", "-p", "1"} << false << QString() << "1";
    QTest::newRow("no words, required missing") << QStringList() << false << missingType << QString();
}

void tst_CliArgParse::doubleDelimiter()
{
    QFETCH(QStringList, words);
    QFETCH(bool, parseAfterDoubleDelimiter);
    QFETCH(QString, expectedError);
    QFETCH(QString, expectedPort);

    CliArgCmdLine cmdLine(words);
    CliArg type(QLatin1Char('t'), QStringLiteral("type"), QString(), true, true, nullptr, nullptr);
    CliArg port(QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, nullptr);
    cmdLine.addArg(type);
    cmdLine.addArg(port);
    QCOMPARE(thrownText([&] { cmdLine.parse(parseAfterDoubleDelimiter); }), expectedError);
    QCOMPARE(port.value().toString(), expectedPort);
}

void tst_CliArgParse::visitorReadsMainStream_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QStringList>("expectedRead");
    QTest::addColumn<int>("expectedDebugCount");

    QTest::newRow("word after the option") << QStringList{"-v", "foo"} << QStringList{"foo"} << 0;
    QTest::newRow("after the value of the option") << QStringList{"-vd", "foo"} << QStringList{"foo"} << 1;
    QTest::newRow("at the end") << QStringList{"--visit"} << QStringList{QString()} << 0;
    QTest::newRow("once per occurrence") << QStringList{"-v", "a", "-d", "-v", "b"} << QStringList{"a", "b"} << 1;
}

void tst_CliArgParse::visitorReadsMainStream()
{
    QFETCH(QStringList, words);
    QFETCH(QStringList, expectedRead);
    QFETCH(int, expectedDebugCount);

    TokenReader reader;
    CliArgCmdLine cmdLine(words);
    CliArg visited(QLatin1Char('v'), QStringLiteral("visit"), QString(), false, false, &reader, nullptr);
    CliMultiArg debug(QLatin1Char('d'), {QStringLiteral("debugMsgs")}, QString(), false, false, nullptr, nullptr);
    cmdLine.addArg(visited);
    cmdLine.addArg(debug);
    QCOMPARE(thrownText([&] { cmdLine.parse(false); }), QString());
    QCOMPARE(reader.tokens, expectedRead);
    QCOMPARE(debug.count(), expectedDebugCount);
}

void tst_CliArgParse::tokensFromArgv()
{
    QByteArray program("prog");
    QByteArray flag("-p");
    QByteArray value("7777");
    char* argv[] = {program.data(), flag.data(), value.data(), nullptr};

    CliArgCmdLine cmdLine(3, argv);
    CliArg port(QLatin1Char('p'), QStringLiteral("port"), QString(), false, true, nullptr, nullptr);
    cmdLine.addArg(port);
    cmdLine.parse(false);
    QCOMPARE(port.value().toString(), QStringLiteral("7777"));

    CliArgCmdLine programOnly(1, argv);
    CliArg required(QLatin1Char('r'), QStringLiteral("required"), QString(), true, false, nullptr, nullptr);
    programOnly.addArg(required);
    QCOMPARE(thrownText([&] { programOnly.parse(false); }), QStringLiteral("Not defined mandatory argument: required"));
}

void tst_CliArgParse::tokenStream()
{
    CliArgCmdLineContext context(QStringList{"a", "b"});
    QVERIFY(context.atBegin());
    context.putBack();
    QCOMPARE(context.next(), QStringLiteral("a"));
    context.prepend(QStringLiteral("x"));
    QCOMPARE(context.next(), QStringLiteral("x"));
    context.putBack();
    QCOMPARE(context.next(), QStringLiteral("x"));
    QCOMPARE(context.next(), QStringLiteral("b"));
    QVERIFY(context.atEnd());
    QVERIFY(context.next().isNull());
    QVERIFY(context.atEnd());
    context.prepend(QString(""));
    QVERIFY(!context.atEnd());
    QCOMPARE(context.next(), QString(""));
}

QTEST_APPLESS_MAIN(tst_CliArgParse)

#include "tst_cliargparse.moc"
