#include "comparelines.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>

class tst_ProgramMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void writesByLevel_data();
    void writesByLevel();
    void journalPriorities_data();
    void journalPriorities();
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

void tst_ProgramMessageHandler::journalPriorities_data()
{
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("journal: debug") << "journal" << "3" << "debug" << "<7>Debug: \"text\"\n" << 0;
    QTest::newRow("journal: warning") << "journal" << "2" << "warning" << "<4>Warning: \"text\"\n" << 0;
    QTest::newRow("journal: critical") << "journal" << "1" << "critical" << "<2>Critical: \"text\"\n" << 0;
    QTest::newRow("journal: fatal") << "journal" << "0" << "fatal" << "<2>Fatal: text\n" << -1;
    QTest::newRow("journal: error line") << "journal" << "0" << "error" << "<3>Error: text\n" << 0;
    QTest::newRow("journal: info written always") << "journal" << "0" << "always" << "<6>Info: \"text\"\n" << 0;
    QTest::newRow("journal: input error") << "journal" << "0" << "input" << "<2>Fatal: \"text\"\n" << 1;
    QTest::newRow("journal: filtered message writes nothing") << "journal" << "0" << "critical" << "" << 0;
    QTest::newRow("pipe, variable names a file") << "pipe" << "1" << "critical" << "Critical: \"text\"\n" << 0;
    QTest::newRow("pipe: error line") << "pipe" << "0" << "error" << "Error: text\n" << 0;
    QTest::newRow("file of another inode") << "other file" << "1" << "critical" << "Critical: \"text\"\n" << 0;
    QTest::newRow("variable with trailing text") << "malformed" << "0" << "always" << "Info: \"text\"\n" << 0;
}

void tst_ProgramMessageHandler::journalPriorities()
{
    QFETCH(QString, stream);
    QFETCH(QString, level);
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QFETCH(int, exitCode);

    QTemporaryDir workDir;
    QVERIFY(workDir.isValid());
    const QString errPath = workDir.filePath(QStringLiteral("stderr"));
    const QString otherPath = workDir.filePath(QStringLiteral("other"));
    for (const QString& path : {errPath, otherPath}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const auto deviceAndInode = [](const QString& path) {
        struct stat info = {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0
                   ? QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino))
                   : QString();
    };
    QString variable = deviceAndInode(stream == QLatin1String("other file") ? otherPath : errPath);
    QVERIFY(!variable.isEmpty());
    if (stream == QLatin1String("malformed"))
        variable += QLatin1Char('x');

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("JOURNAL_STREAM"), variable);
    QProcess helper;
    helper.setProcessEnvironment(environment);
    helper.setWorkingDirectory(workDir.path());
    if (stream != QLatin1String("pipe"))
        helper.setStandardErrorFile(errPath, QIODevice::Append);
    helper.start(QStringLiteral(MESSAGE_HANDLER_HELPER), {level, kind, QStringLiteral("text")});
    QVERIFY(helper.waitForFinished(30000));

    QByteArray written = helper.readAllStandardError();
    if (stream != QLatin1String("pipe")) {
        QFile file(errPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        written = file.readAll();
    }
    QCOMPARE(QString::fromUtf8(written), expected);
    if (exitCode < 0) {
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), exitCode);
    }
}

QTEST_GUILESS_MAIN(tst_ProgramMessageHandler)
#include "tst_programmessagehandler.moc"
