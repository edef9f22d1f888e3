#include "comparelines.h"

#include <QtTest>

namespace {

const QStringList typeHelp{
    "",
    "USAGE: -t, --t[ype] <arg>",
    "",
    "DESCRIPTION: Each message type has a different set of arguments, with the order of the arguments being "
    "important.",
    "Each argument must be preceded by a -m",
    "",
    "coredump      -m nameoftask",
    "reboot        -m nameofissuer",
    "watchdog      -m triggeredby",
    "joinlayer     -m nameoftask",
    "specfile      -m nameoftask   -m nameoffile",
    "sysload       -m sysload",
    "machineconfig -m hardwareconf -m linuxver -m rpmsinstalled -m tevrikversion -m diskspace",
    "generic       -m recordnumber -m key      -m value",
    "",
};

const QStringList senderHelp{
    "The tevriklogevent utility provides a commandline interface through which to add entries to the tevrik "
    "system log.",
    "",
    "For more help with a specific command, use --help <command>",
    "",
    "USAGE: tevriklogevent -t,--t[ype] <arg> -m,--m[sgpayload] <arg> [-a,--a[ddress] <arg>] [-p,--p[ort] <arg>] "
    "[-d,--d[ebugMsgs]] [-h,--h[elp]]",
    "",
    "  -t, --t[ype] <arg>               Sets the type of log message to send. Options are: coredump, reboot, "
    "watchdog, joinlayer, specfile, sysload, machineconfig, generic",
    "  -m, --m[sgpayload] <arg> [...]   Sets a payload value of the message; give one -m per value, in order.",
    "  -a, --a[ddress] <arg>            IP Address of target TevrikSystemLogD.",
    "  -p, --p[ort] <arg>               UDP port number on target TevrikSystemLogD.",
    "  -d, --d[ebugMsgs] [...]          Enable debug messages.",
    "  -h, --h[elp]                     Print this help.",
    "",
};

} // namespace

class tst_CliArgHelp : public QObject
{
    Q_OBJECT

private slots:
    void help_data();
    void help();
};

void tst_CliArgHelp::help_data()
{
    QTest::addColumn<QString>("optionSet");
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QStringList>("expectedLines");

    QTest::newRow("general by flag") << "sender" << QStringList{"-h"} << senderHelp;
    QTest::newRow("general by name") << "sender" << QStringList{"--help"} << senderHelp;
    QTest::newRow("general in a cluster") << "sender" << QStringList{"-dh"} << senderHelp;
    QTest::newRow("general after another option") << "sender" << QStringList{"-d", "-h"} << senderHelp;

    QTest::newRow("option by name") << "sender" << QStringList{"--help", "--type"} << typeHelp;
    QTest::newRow("option by abbreviation") << "sender" << QStringList{"--help", "--t"} << typeHelp;
    QTest::newRow("option by bare word") << "sender" << QStringList{"--help", "type"} << typeHelp;
    QTest::newRow("option by flag") << "sender" << QStringList{"--help", "-t"} << typeHelp;
    QTest::newRow("option by repeated flag") << "sender" << QStringList{"--help", "-tt"} << typeHelp;
    QTest::newRow("option after =") << "sender" << QStringList{"--help=type"} << typeHelp;
    QTest::newRow("option, rest not parsed") << "sender" << QStringList{"-h", "-t", "coredump", "--nosuch"}
                                             << typeHelp;
    QTest::newRow("repeatable option without value")
        << "sender" << QStringList{"--help", "-d"}
        << QStringList{"", "USAGE: -d, --d[ebugMsgs]", "",
                       "DESCRIPTION: Enable debug messages. You can place this argument multiple times to increase "
                       "verbosity. Such as: tevriklogevent -d -d -d",
                       ""};
    QTest::newRow("payload option, described by the types' table")
        << "sender" << QStringList{"--help", "-m"} << QStringList{"", "USAGE: -m, --m[sgpayload] <arg>"} + typeHelp.mid(2);
    QTest::newRow("address option")
        << "sender" << QStringList{"--help", "-a"}
        << QStringList{"", "USAGE: -a, --a[ddress] <arg>", "",
                       "DESCRIPTION: IP Address of target TevrikSystemLogD, defaults to 127.0.0.1.", ""};
    QTest::newRow("option without long description")
        << "sender" << QStringList{"--help", "help"}
        << QStringList{"", "USAGE: -h, --h[elp]", "", "DESCRIPTION: Print this help.", ""};

    QTest::newRow("flags of two options") << "sender" << QStringList{"--help", "-tm"}
                                          << QStringList{"Unknown argument: -tm"};
    QTest::newRow("unknown flag") << "sender" << QStringList{"--help", "-tx"} << QStringList{"Unknown argument: -tx"};
    QTest::newRow("unknown name") << "sender" << QStringList{"--help", "--nosuch"}
                                  << QStringList{"Unknown argument: --nosuch"};
    QTest::newRow("unknown bare word") << "sender" << QStringList{"--help", "nosuch"}
                                       << QStringList{"Unknown argument: --nosuch"};
    QTest::newRow("double delimiter alone") << "sender" << QStringList{"--help", "--"}
                                            << QStringList{"Empty argument name."};
    QTest::newRow("empty word") << "sender" << QStringList{"--help", ""} << QStringList{"Empty argument name."};
    QTest::newRow("delimiter alone") << "sender" << QStringList{"--help", "-"} << QStringList{"Empty flag."};

    QTest::newRow("general, all optional")
        << "optional" << QStringList{"-h"}
        << QStringList{"Optional options.",
                       "",
                       "USAGE: prog [-p,--port <arg>] [--porta[ble]] [-v] [-lL,--le[vel],--lv[l] <arg>] [-h,--h[elp]]",
                       "",
                       "  -p,       --port <arg>               Port to use.",
                       "            --porta[ble]               Portable mode.",
                       "  -v [...]                             More output.",
                       "  -lL,      --le[vel], --lv[l] <arg>   Level of detail.",
                       "  -h,       --h[elp]                   Print this help.",
                       ""};
    QTest::newRow("option with two flags and two names")
        << "optional" << QStringList{"--help", "-Ll"}
        << QStringList{"", "USAGE: -lL, --le[vel], --lv[l] <arg>", "", "DESCRIPTION: Level of detail.", ""};
    QTest::newRow("option without flags") << "optional" << QStringList{"--help", "--portable"}
                                          << QStringList{"", "USAGE: --porta[ble]", "", "DESCRIPTION: Portable mode.", ""};
    QTest::newRow("option without names") << "optional" << QStringList{"--help", "-v"}
                                          << QStringList{"", "USAGE: -v", "", "DESCRIPTION: More output.", ""};
    QTest::newRow("ambiguous abbreviation") << "optional" << QStringList{"--help", "--po"}
                                            << QStringList{"Unknown argument: --po"};

    QTest::newRow("general, groups")
        << "xor" << QStringList{"--help"}
        << QStringList{"Grouped options.",
                       "",
                       "USAGE: prog -t,--t[ype] <arg> [-a,--a[ddress] <arg> | -n,--hostn[ame] <arg>] "
                       "[-f,--hostf[ile] <arg>] [-h,--he[lp]]",
                       "",
                       "  -t, --t[ype] <arg>       Type of the record.",
                       "  -a, --a[ddress] <arg>    Numeric address.",
                       "  -n, --hostn[ame] <arg>   Host name.",
                       "  -f, --hostf[ile] <arg>   Hosts file.",
                       "  -h, --he[lp]             Print this help.",
                       ""};
    QTest::newRow("group member") << "xor" << QStringList{"--help", "-n"}
                                  << QStringList{"", "USAGE: -n, --hostn[ame] <arg>", "", "DESCRIPTION: Host name.", ""};
    QTest::newRow("member of a group of one") << "xor" << QStringList{"--help", "--hostf"}
                                              << QStringList{"", "USAGE: -f, --hostf[ile] <arg>", "",
                                                             "DESCRIPTION: Hosts file.", ""};
}

void tst_CliArgHelp::help()
{
    QFETCH(QString, optionSet);
    QFETCH(QStringList, words);
    QFETCH(QStringList, expectedLines);

    QProcess helper;
    helper.start(QStringLiteral(CLIARGHELPER_PATH), QStringList(optionSet) + words);
    QVERIFY2(helper.waitForFinished(60000), qPrintable(helper.errorString()));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 255);

    // The programs end the help with the empty exception text and "\r\n".
    const QStringList expected = (expectedLines.join(QLatin1Char('\n')) + QLatin1String("\r\n")).split('\n');
    COMPARE_LINES(QString::fromLocal8Bit(helper.readAllStandardOutput()).split('\n'), expected);
}

QTEST_GUILESS_MAIN(tst_CliArgHelp)

#include "tst_cliarghelp.moc"
