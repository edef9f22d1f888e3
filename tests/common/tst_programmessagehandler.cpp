#include "comparelines.h"

#include <QtTest>

#include <csignal>
#include <sys/stat.h>

class tst_ProgramMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void writes_data();
    void writes();
};

void tst_ProgramMessageHandler::writes_data()
{
    // Where standard error goes: a pipe, without JOURNAL_STREAM ("unset") or with it naming a file ("pipe"),
    // or a file that JOURNAL_STREAM names ("journal"), names after a trailing character ("malformed"), or
    // does not name ("other file").
    QTest::addColumn<QString>("stream");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    // -1 for an abort.
    QTest::addColumn<int>("exitCode");

    QTest::newRow("fatal at 0") << "unset" << "0" << "fatal" << "gone" << "Fatal: gone\n" << -1;
    QTest::newRow("critical at 0") << "unset" << "0" << "critical" << "lost" << "" << 0;
    QTest::newRow("critical at 1") << "unset" << "1" << "critical" << "lost" << "Critical: \"lost\"\n" << 0;
    QTest::newRow("warning at 1") << "unset" << "1" << "warning" << "odd" << "" << 0;
    QTest::newRow("warning at 2") << "unset" << "2" << "warning" << "odd" << "Warning: \"odd\"\n" << 0;
    QTest::newRow("debug at 2") << "unset" << "2" << "debug" << "step" << "" << 0;
    QTest::newRow("debug at 3") << "unset" << "3" << "debug" << "step" << "Debug: \"step\"\n" << 0;
    QTest::newRow("debug at 255") << "unset" << "255" << "debug" << "step" << "Debug: \"step\"\n" << 0;
    QTest::newRow("info at 255") << "unset" << "255" << "info" << "note" << "" << 0;
    QTest::newRow("quotes and line breaks escaped")
        << "unset" << "3" << "debug" << "say \"hi\"\\ \nnext" << "Debug: \"say \\\"hi\\\"\\\\ \\nnext\"\n" << 0;
    QTest::newRow("UTF-8 text") << "unset" << "1" << "critical" << QString::fromUtf8("Grüße")
                                << QString::fromUtf8("Critical: \"Grüße\"\n") << 0;
    QTest::newRow("pipe, variable names a file") << "pipe" << "1" << "critical" << "text" << "Critical: \"text\"\n" << 0;
    QTest::newRow("pipe: error line") << "pipe" << "0" << "error" << "text" << "Error: text\n" << 0;
    QTest::newRow("journal: debug") << "journal" << "3" << "debug" << "text" << "<7>Debug: \"text\"\n" << 0;
    QTest::newRow("journal: warning") << "journal" << "2" << "warning" << "text" << "<4>Warning: \"text\"\n" << 0;
    QTest::newRow("journal: critical") << "journal" << "1" << "critical" << "text" << "<2>Critical: \"text\"\n" << 0;
    QTest::newRow("journal: fatal") << "journal" << "0" << "fatal" << "text" << "<2>Fatal: text\n" << -1;
    QTest::newRow("journal: error line") << "journal" << "0" << "error" << "text" << "<3>Error: text\n" << 0;
    QTest::newRow("journal: info written always") << "journal" << "0" << "always" << "text" << "<6>Info: \"text\"\n"
                                                  << 0;
    QTest::newRow("journal: input error") << "journal" << "0" << "input" << "text" << "<2>Fatal: \"text\"\n" << 1;
    QTest::newRow("journal: filtered message writes nothing") << "journal" << "0" << "critical" << "text" << "" << 0;
    QTest::newRow("file of another inode") << "other file" << "1" << "critical" << "text" << "Critical: \"text\"\n"
                                           << 0;
    QTest::newRow("variable with trailing text") << "malformed" << "0" << "always" << "text" << "Info: \"text\"\n" << 0;
}

void tst_ProgramMessageHandler::writes()
{
    QFETCH(QString, stream);
    QFETCH(QString, level);
    QFETCH(QString, kind);
    QFETCH(QString, text);
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
    if (stream == QLatin1String("unset"))
        environment.remove(QStringLiteral("JOURNAL_STREAM"));
    else
        environment.insert(QStringLiteral("JOURNAL_STREAM"), variable);
    const bool piped = stream == QLatin1String("unset") || stream == QLatin1String("pipe");
    QProcess helper;
    helper.setProcessEnvironment(environment);
    helper.setWorkingDirectory(workDir.path());
    if (!piped)
        helper.setStandardErrorFile(errPath, QIODevice::Append);
    helper.start(QStringLiteral(MESSAGE_HANDLER_HELPER), {level, kind, text});
    QVERIFY(helper.waitForFinished(30000));

    QByteArray written = helper.readAllStandardError();
    if (!piped) {
        QFile file(errPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        written = file.readAll();
    }
    COMPARE_LINES(QString::fromUtf8(written).split('\n'), expected.split('\n'));
    QCOMPARE(helper.readAllStandardOutput(), QByteArray());
    if (exitCode < 0) {
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        QCOMPARE(helper.exitCode(), SIGABRT);
    } else {
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), exitCode);
    }
}

QTEST_GUILESS_MAIN(tst_ProgramMessageHandler)
#include "tst_programmessagehandler.moc"
