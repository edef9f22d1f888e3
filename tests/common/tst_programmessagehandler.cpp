#include "comparelines.h"

#include <QtTest>

#include <csignal>

class tst_ProgramMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void writesByLevel_data();
    void writesByLevel();
};

void tst_ProgramMessageHandler::writesByLevel_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("fatal at 0") << "0" << "fatal" << "gone" << "Fatal: gone\n";
    QTest::newRow("critical at 0") << "0" << "critical" << "lost" << "";
    QTest::newRow("critical at 1") << "1" << "critical" << "lost" << "Critical: \"lost\"\n";
    QTest::newRow("warning at 1") << "1" << "warning" << "odd" << "";
    QTest::newRow("warning at 2") << "2" << "warning" << "odd" << "Warning: \"odd\"\n";
    QTest::newRow("debug at 2") << "2" << "debug" << "step" << "";
    QTest::newRow("debug at 3") << "3" << "debug" << "step" << "Debug: \"step\"\n";
    QTest::newRow("debug at 255") << "255" << "debug" << "step" << "Debug: \"step\"\n";
    QTest::newRow("info at 255") << "255" << "info" << "note" << "";
    QTest::newRow("quotes and line breaks escaped")
        << "3" << "debug" << "say \"hi\"\\ \nnext" << "Debug: \"say \\\"hi\\\"\\\\ \\nnext\"\n";
    QTest::newRow("UTF-8 text") << "1" << "critical" << QString::fromUtf8("Grüße") << QString::fromUtf8("Critical: \"Grüße\"\n");
}

void tst_ProgramMessageHandler::writesByLevel()
{
    QFETCH(QString, level);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QString, expected);

    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    QProcess helper;
    helper.setWorkingDirectory(workDir.path());
    helper.start(QStringLiteral(MESSAGE_HANDLER_HELPER), {level, kind, text});
    QVERIFY(helper.waitForFinished(30000));

    COMPARE_LINES(QString::fromUtf8(helper.readAllStandardError()).split('\n'), expected.split('\n'));
    QCOMPARE(helper.readAllStandardOutput(), QByteArray());

    if (kind == QLatin1String("fatal")) {
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(helper.exitCode(), SIGABRT);
    } else {
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);
    }
}

QTEST_GUILESS_MAIN(tst_ProgramMessageHandler)
#include "tst_programmessagehandler.moc"
