// The daemon's commit promises while events keep coming: rows show up for other processes
// while the stream runs, and a kill -9 leaves a sound database with a complete prefix of it, which
// the next daemon carries on.
#include "daemonfixture.h"
#include "logmessage.pb.h"
#include "processrunner.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

namespace {

const quint64 timeBase = 1700000000000;
const char selectStream[] = "SELECT recordNumber, key, value, time FROM generic ORDER BY rowID";

// A steady stream of generic events numbered 1, 2, 3, ... sent from the test's event loop, about
// one a millisecond, bounded in count and in time.
class EventStream : public QObject
{
public:
    EventStream(quint16 port, quint64 maxEvents)
        : m_port(port)
        , m_maxEvents(maxEvents)
    {
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, &EventStream::sendSome);
        m_deadline.setRemainingTime(60000);
        m_elapsed.start();
        m_timer.start();
    }

    bool isRunning() const { return m_timer.isActive(); }
    quint64 sent() const { return m_sent; }
    void stop() { m_timer.stop(); }

private:
    void sendSome()
    {
        // The test's waits let the loop run only now and then: catch up with the clock.
        const quint64 due = qMin<quint64>(m_maxEvents, quint64(m_elapsed.elapsed()) + 1);
        while (m_sent < due)
            sendNext();
        if (m_sent == m_maxEvents || m_deadline.hasExpired())
            stop();
    }

    void sendNext()
    {
        const quint64 number = m_sent + 1;
        LogEvent event;
        GenericLogMsg* generic = event.mutable_generic();
        generic->set_timestamp(timeBase + number);
        generic->set_recordnumber(number);
        generic->set_key("seq");
        generic->set_value(std::to_string(number));
        m_socket.writeDatagram(QByteArray::fromStdString(event.SerializeAsString()), QHostAddress::LocalHost, m_port);
        m_sent = number;
    }

    quint16 m_port;
    quint64 m_maxEvents;
    QUdpSocket m_socket;
    QTimer m_timer;
    QDeadlineTimer m_deadline;
    QElapsedTimer m_elapsed;
    quint64 m_sent = 0;
};

// Empty when the rows are exactly the events 1 to rows.size(), in order and complete; else the first that is not.
QString checkPrefix(const QList<QVariantList>& rows)
{
    for (int i = 0; i < rows.size(); ++i) {
        const quint64 number = quint64(i) + 1;
        const QVariantList& row = rows.at(i);
        if (row.size() != 4 || row.at(0).toULongLong() != number || row.at(1).toString() != QLatin1String("seq")
            || row.at(2).toString() != QString::number(number) || row.at(3).toULongLong() != timeBase + number) {
            QStringList columns;
            for (const QVariant& value : row)
                columns << value.toString();
            return QStringLiteral("row %1 holds %2").arg(i + 1).arg(columns.join(QLatin1Char('|')));
        }
    }
    return QString();
}

} // namespace

class tst_CommitPromises : public QObject
{
    Q_OBJECT

private slots:
    void rowsVisibleWhileStreamRuns();
    void killLeavesSoundCompletePrefix_data();
    void killLeavesSoundCompletePrefix();
};

void tst_CommitPromises::rowsVisibleWhileStreamRuns()
{
    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    // Fewer events than would fill a transaction: a store that commits only full transactions,
    // or only once the datagrams stop, shows its rows after the stream has ended.
    EventStream stream(daemon.port(), 3000);

    const QString count = QStringLiteral("SELECT count(*) FROM generic");
    QTRY_VERIFY_WITH_TIMEOUT(queryRows(daemon.dbPath(), count).value(0).value(0).toInt() >= 100, 30000);
    QVERIFY2(stream.isRunning(), "the rows showed up only once the stream had ended");

    const QList<QVariantList> rows = queryRows(daemon.dbPath(), QLatin1String(selectStream));
    QVERIFY(!rows.isEmpty());
    QCOMPARE(checkPrefix(rows), QString());
    stream.stop();
    daemon.kill();
}

void tst_CommitPromises::killLeavesSoundCompletePrefix_data()
{
    QTest::addColumn<int>("rowsBeforeKill");

    QTest::newRow("early in the stream") << 1;
    QTest::newRow("after many transactions") << 2000;
}

void tst_CommitPromises::killLeavesSoundCompletePrefix()
{
    QFETCH(int, rowsBeforeKill);

    DaemonFixture daemon;
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    EventStream stream(daemon.port(), 100000);

    const QString count = QStringLiteral("SELECT count(*) FROM generic");
    int committed = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        (committed = queryRows(daemon.dbPath(), count).value(0).value(0).toInt()) >= rowsBeforeKill, 30000);
    QVERIFY(stream.isRunning());
    daemon.kill();
    stream.stop();
    QCOMPARE(daemon.process().exitStatus(), QProcess::CrashExit);

    QCOMPARE(queryRows(daemon.dbPath(), QStringLiteral("PRAGMA integrity_check")),
             (QList<QVariantList>{{QStringLiteral("ok")}}));
    const QList<QVariantList> rows = queryRows(daemon.dbPath(), QLatin1String(selectStream));
    QVERIFY2(rows.size() >= committed, qPrintable(QStringLiteral("%1 rows after the kill, %2 before")
                                                      .arg(rows.size())
                                                      .arg(committed)));
    QVERIFY(quint64(rows.size()) <= stream.sent());
    QCOMPARE(checkPrefix(rows), QString());

    // A new daemon carries on with the file; the readiness line must be its own.
    daemon.stderrText().clear();
    QVERIFY2(daemon.start(), daemon.stderrText().constData());
    QCOMPARE(daemon.send({QStringLiteral("-t"), QStringLiteral("reboot"), QStringLiteral("-m"), QStringLiteral("after")}), 0);
    QCOMPARE(waitForRows(daemon.dbPath(), QStringLiteral("SELECT issuer FROM reboots"), 1),
             (QList<QVariantList>{{QStringLiteral("after")}}));
    QVERIFY(daemon.stop());
    QCOMPARE(daemon.process().exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_CommitPromises)
#include "tst_commitpromises.moc"
