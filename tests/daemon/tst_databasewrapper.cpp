#include "comparelines.h"
#include "configsettings.h"
#include "daemoncounters.h"
#include "databasewrapper.h"
#include "eventmodel.h"
#include "messagerecorder.h"
#include "processrunner.h"
#include "programmessagehandler.h"

#include <google/protobuf/text_format.h>

#include <sqlite3.h>

#include <QtSql>
#include <QtTest>

#include <memory>

class tst_DataBaseWrapper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void createsTables();
    void storesOneRowPerPayload_data();
    void storesOneRowPerPayload();
    void reopenKeepsRowsAndRowIdsGrow();
    void reportsUnusableDatabase();
    void failedInsertIsReportedAndOthersStored_data();
    void failedInsertIsReportedAndOthersStored();
    void storesTextsAsValidUtf8_data();
    void storesTextsAsValidUtf8();
    void storesUnsignedNumbersWithTheirBits_data();
    void storesUnsignedNumbersWithTheirBits();
    void pendingRowsAreCommitted_data();
    void pendingRowsAreCommitted();
    void keepsArrivalOrderAcrossTransactions();
    void holdsRowsWhileTheDatabaseIsLocked_data();
    void holdsRowsWhileTheDatabaseIsLocked();
    void manyRowsPerStatementStoreWhatOneRowPerStatementStores_data();
    void manyRowsPerStatementStoreWhatOneRowPerStatementStores();

private:
    // What a store that met the fault during a mixed stream left: every table's rows and the counters' change.
    struct Outcome
    {
        QStringList rows;
        quint64 stored = 0;
        quint64 failed = 0;
        quint64 lost = 0;
        quint64 mostHeld = 0;
    };
    void storeMixedStream(const QString& fault, Outcome& outcome);
    void startFault(const QString& fault);
    void endFault(const QString& fault);
    void openStore(QStringList* messages = nullptr);
    void closeStore();
    void inspectorExec(const QString& statement);
    // Runs a statement on the store's own connection; SQLite's result code.
    int storeExec(const QString& statement);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DataBaseWrapper> m_store;
};

namespace {

const char inspectorConnection[] = "inspector";

const QStringList createStatements = {
    "CREATE TABLE IF NOT EXISTS schemaver    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS coredumps    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, taskname     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS reboots      (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, issuer       TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS watchdog     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, triggeredBy  TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS joinlayer    (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, taskName     TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS systemload   (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, sysload      TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS specfile     (rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, taskname     TEXT NOT NULL, specfile TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS configuration(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, hardwareconf TEXT NOT NULL, linuxver TEXT NOT NULL, rpmsinstalled TEXT NOT NULL, tevrikversion TEXT NOT NULL, diskspace TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS generic(rowID INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, recordNumber INTEGER NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, sentToMasterDB INTEGER NOT NULL DEFAULT 0)",
};

// The INSERT of each table, in the order in which an event's payloads are stored.
const QVector<QPair<QString, QString>> insertStatements = {
    {"configuration", "INSERT INTO configuration (time, hardwareconf, linuxver, rpmsinstalled, tevrikversion, diskspace) VALUES (:time, :hardwareconf, :linuxver, :rpmsinstalled, :tevrikversion, :diskspace)"},
    {"coredumps", "INSERT INTO coredumps (time, taskname) VALUES (:time, :taskname)"},
    {"reboots", "INSERT INTO reboots (time, issuer) VALUES (:time, :issuer)"},
    {"watchdog", "INSERT INTO watchdog (time, triggeredBy) VALUES (:time, :triggeredBy)"},
    {"joinlayer", "INSERT INTO joinlayer (time, taskName) VALUES (:time, :taskName)"},
    {"specfile", "INSERT INTO specfile (time, taskname, specfile) VALUES (:time, :taskname, :specfile)"},
    {"systemload", "INSERT INTO systemload (time, sysload) VALUES (:time, :sysload)"},
    {"generic", "INSERT INTO generic (time, recordNumber, key, value) VALUES (:time, :recordNumber, :key, :value)"},
};

QString insertStatement(const QString& table)
{
    for (const auto& insert : insertStatements) {
        if (insert.first == table)
            return insert.second;
    }
    return QString();
}

QString successReport(const QString& statement)
{
    return QStringLiteral("Debug: \"\" \"\" \"%1\"").arg(statement);
}

// The time map's statements after the nine tables.
const QStringList timeMapStatements = {timeMapCreate, timeMapIndexCreate, timeMarkCreate};

QStringList createReports()
{
    QStringList reports;
    for (const QString& statement : createStatements + timeMapStatements)
        reports << successReport(statement);
    return reports;
}

LogEvent eventFrom(const QString& text)
{
    LogEvent event;
    if (!google::protobuf::TextFormat::ParseFromString(text.toStdString(), &event))
        qFatal("Not an event: %s", qPrintable(text));
    return event;
}

// A second connection to the store's database, as another process would have.
QSqlDatabase inspector()
{
    if (QSqlDatabase::contains(QLatin1String(inspectorConnection)))
        return QSqlDatabase::database(QLatin1String(inspectorConnection));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(inspectorConnection));
    db.setDatabaseName(ConfigSettings::getInstance()->getDBPath());
    db.open();
    return db;
}

// Every row of the table in rowID order, its columns joined by '|' and NULL spelt out.
QStringList rows(const QString& table)
{
    QStringList result;
    QSqlQuery query(inspector());
    if (!query.exec(QStringLiteral("SELECT * FROM %1 ORDER BY rowID").arg(table)))
        return {query.lastError().text()};
    while (query.next()) {
        QStringList columns;
        for (int i = 0; i < query.record().count(); ++i)
            columns << (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
        result << columns.join('|');
    }
    return result;
}

// An event of one to three kinds, its texts unique to it, some of them long or not valid UTF-8.
LogEvent mixedEvent(int i)
{
    LogEvent event;
    for (const EventKind& kind : eventKinds()) {
        const int k = int(kind.id);
        if (k != i % 8 && (i * 7 + k * 3) % 5 != 0)
            continue;
        EventValues values;
        values.time = quint64(1700000000000 + i * 10 - i % 7);
        std::array<std::string, maxEventColumns> texts;
        for (int c = 0; c < kind.columnCount; ++c) {
            values.numbers[size_t(c)] = quint64(i);
            texts[size_t(c)] = std::string(kind.table) + '-' + std::to_string(c) + '-' + std::to_string(i);
            if (i % 13 == 0)
                texts[size_t(c)] += "\xff\xc3";
            if (i % 500 == 0)
                texts[size_t(c)] += std::string(5000, 'x');
            values.texts[size_t(c)] = texts[size_t(c)];
        }
        kind.fill(event, values);
    }
    return event;
}

// Every row of every table, each prefixed by its table, as the database at path holds them.
QStringList allRows(const QString& path)
{
    QStringList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("allRows"));
        db.setDatabaseName(path);
        db.open();
        for (const auto& insert : insertStatements) {
            QSqlQuery query(db);
            if (!query.exec(QStringLiteral("SELECT * FROM %1 ORDER BY rowID").arg(insert.first)))
                return {query.lastError().text()};
            while (query.next()) {
                QStringList columns{insert.first};
                for (int i = 0; i < query.record().count(); ++i)
                    columns << query.value(i).toString();
                result << columns.join('|');
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("allRows"));
    return result;
}

} // namespace

void tst_DataBaseWrapper::initTestCase()
{
    // The store builds its statement reports only at the verbosity that shows them.
    debugLevel = 3;
}

void tst_DataBaseWrapper::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    ConfigSettings::getInstance()->setDBPath(m_dir->filePath(QStringLiteral("systemlog.db")));
}

void tst_DataBaseWrapper::cleanup()
{
    closeStore();
    QSqlDatabase::removeDatabase(QLatin1String(inspectorConnection));
    m_dir.reset();
}

void tst_DataBaseWrapper::openStore(QStringList* messages)
{
    MessageRecorder recorder;
    m_store = std::make_unique<DataBaseWrapper>(*ConfigSettings::getInstance(), nullptr);
    if (messages)
        *messages = recorder.lines();
}

void tst_DataBaseWrapper::closeStore()
{
    m_store.reset();
}

void tst_DataBaseWrapper::inspectorExec(const QString& statement)
{
    QSqlQuery query(inspector());
    QVERIFY2(query.exec(statement), qPrintable(query.lastError().text()));
}

int tst_DataBaseWrapper::storeExec(const QString& statement)
{
    return sqlite3_exec(m_store->connection(), statement.toUtf8().constData(), nullptr, nullptr, nullptr);
}

void tst_DataBaseWrapper::createsTables()
{
    QStringList messages;
    openStore(&messages);
    QVERIFY(m_store->isReady());
    QCOMPARE(m_store->errorString(), QString());
    COMPARE_LINES(messages, createReports());

    QStringList expected;
    for (const QString& statement : createStatements + QStringList{timeMapCreate, timeMarkCreate})
        expected << QString(statement).replace(QLatin1String("CREATE TABLE IF NOT EXISTS "), QLatin1String("CREATE TABLE "));
    QSqlQuery query(inspector());
    QVERIFY(query.exec(QStringLiteral("SELECT sql FROM sqlite_master WHERE type = 'table' AND name != 'sqlite_sequence' ORDER BY rowid")));
    QStringList stored;
    while (query.next())
        stored << query.value(0).toString();
    COMPARE_LINES(stored, expected);
    QCOMPARE(rows(QStringLiteral("schemaver")), QStringList());
}

void tst_DataBaseWrapper::storesOneRowPerPayload_data()
{
    QTest::addColumn<QString>("event");
    // Every table's rows afterwards, each prefixed by its table, in the order in which payloads are stored.
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("core dump") << R"(dump { timestamp: 1700000000123 taskname: "task1" })"
                               << QStringList{"coredumps|1|1700000000123|task1|0"};
    QTest::newRow("reboot") << R"(reboot { timestamp: 1 issuer: "operator" })" << QStringList{"reboots|1|1|operator|0"};
    QTest::newRow("watchdog") << R"(watchdog { timestamp: 2 triggeredBy: "timer" })"
                              << QStringList{"watchdog|1|2|timer|0"};
    QTest::newRow("join layer in column taskName") << R"(joinlayer { timestamp: 3 taskname: "task2" })"
                                                   << QStringList{"joinlayer|1|3|task2|0"};
    QTest::newRow("spec file") << R"(specfile { timestamp: 4 taskname: "task1" specfile: "file.spec" })"
                               << QStringList{"specfile|1|4|task1|file.spec|0"};
    QTest::newRow("system load") << R"(systemload { timestamp: 5 sysload: "0.5 0.3" })"
                                 << QStringList{"systemload|1|5|0.5 0.3|0"};
    QTest::newRow("machine config")
        << R"(machine { timestamp: 6 hardwareconf: "hw" linuxver: "6.1" rpmsinstalled: "a b"
                        tevrikversion: "2.0" diskspace: "9G" })"
        << QStringList{"configuration|1|6|hw|6.1|a b|2.0|9G|0"};
    QTest::newRow("machine config with only its timestamp stores empty texts")
        << "machine { timestamp: 7 }" << QStringList{"configuration|1|7||||||0"};
    QTest::newRow("generic with record number 0 and empty value")
        << R"(generic { timestamp: 8 recordNumber: 0 key: "k" value: "" })" << QStringList{"generic|1|8|0|k||0"};
    QTest::newRow("UTF-8 text") << R"(reboot { timestamp: 9 issuer: "Grüße" })" << QStringList{"reboots|1|9|Grüße|0"};
    QTest::newRow("every payload, in a fixed order whatever the event's")
        << R"(generic { timestamp: 8 recordNumber: 80 key: "k" value: "v" }
              systemload { timestamp: 7 sysload: "load" }
              specfile { timestamp: 6 taskname: "task" specfile: "file.spec" }
              joinlayer { timestamp: 5 taskname: "task" }
              watchdog { timestamp: 4 triggeredBy: "timer" }
              reboot { timestamp: 3 issuer: "operator" }
              dump { timestamp: 2 taskname: "task" }
              machine { timestamp: 1 })"
        << QStringList{"configuration|1|1||||||0", "coredumps|1|2|task|0",          "reboots|1|3|operator|0",
                       "watchdog|1|4|timer|0",     "joinlayer|1|5|task|0",          "specfile|1|6|task|file.spec|0",
                       "systemload|1|7|load|0",    "generic|1|8|80|k|v|0"};
    QTest::newRow("an event without payload stores nothing") << "" << QStringList();
}

void tst_DataBaseWrapper::storesOneRowPerPayload()
{
    QFETCH(QString, event);
    QFETCH(QStringList, rows);

    openStore();
    LogEvent logEvent = eventFrom(event);
    QStringList reports;
    for (const QString& row : rows)
        reports << successReport(insertStatement(row.section(QLatin1Char('|'), 0, 0)));
    const DaemonCounters before = daemonCounters();
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&logEvent);
        COMPARE_LINES(recorder.lines(), reports);
    }
    m_store->commit();
    COMPARE_LINES(allRows(ConfigSettings::getInstance()->getDBPath()), rows);
    // One event, however many rows it gave.
    QCOMPARE(daemonCounters().eventsStored - before.eventsStored, quint64(1));
    QCOMPARE(daemonCounters().rowsStored - before.rowsStored, quint64(rows.size()));
}

void tst_DataBaseWrapper::reopenKeepsRowsAndRowIdsGrow()
{
    LogEvent first = eventFrom(R"(reboot { timestamp: 1 issuer: "first" })");
    LogEvent second = eventFrom(R"(reboot { timestamp: 2 issuer: "second" })");
    LogEvent third = eventFrom(R"(reboot { timestamp: 3 issuer: "third" })");
    {
        MessageRecorder recorder;
        openStore();
        m_store->newLogEvent(&first);
        m_store->newLogEvent(&second);
    }
    m_store->commit();
    inspectorExec(QStringLiteral("DELETE FROM reboots WHERE rowID = 2"));
    closeStore();

    QStringList messages;
    openStore(&messages);
    COMPARE_LINES(messages, createReports());
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&third);
    }
    m_store->commit();
    COMPARE_LINES(rows(QStringLiteral("reboots")), (QStringList{"1|1|first|0", "3|3|third|0"}));
    QCOMPARE(rows(QStringLiteral("schemaver")), QStringList());
}

void tst_DataBaseWrapper::reportsUnusableDatabase()
{
    const QString missingDir = m_dir->filePath(QStringLiteral("missing"));
    ConfigSettings::getInstance()->setDBPath(missingDir + QStringLiteral("/systemlog.db"));
    openStore();
    QVERIFY(!m_store->isReady());
    QVERIFY2(m_store->errorString().contains(QLatin1String("unable to open database file")),
             qPrintable(m_store->errorString()));
    QVERIFY(!QFileInfo::exists(missingDir));

    LogEvent event = eventFrom(R"(reboot { timestamp: 1 issuer: "operator" })");
    MessageRecorder recorder;
    m_store->newLogEvent(&event);
    COMPARE_LINES(recorder.lines(),
                  (QStringList{QStringLiteral("Debug: \"Database not open\" \"\" \"%1\"").arg(insertStatement("reboots")),
                               QStringLiteral("Critical: \"Failed to store a row in table reboots: %1\"")
                                   .arg(m_store->errorString()),
                               QStringLiteral("Critical: \"Failed to store 1 row in table reboots: %1\"")
                                   .arg(m_store->errorString())}));
}

void tst_DataBaseWrapper::failedInsertIsReportedAndOthersStored_data()
{
    QTest::addColumn<QString>("sabotage");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("summary");

    QTest::newRow("table dropped by another connection")
        << "DROP TABLE coredumps"
        << R"(Debug: "Unable to execute statement" "no such table: coredumps" ")" + insertStatement("coredumps") + '"'
        << R"(Critical: "Failed to store a row in table coredumps: no such table: coredumps Unable to execute statement")"
        << R"(Critical: "Failed to store 1 row in table coredumps: no such table: coredumps Unable to execute statement")";
    QTest::newRow("insert refused by a trigger")
        << "CREATE TRIGGER refuse BEFORE INSERT ON coredumps BEGIN SELECT RAISE(ABORT, 'refused'); END"
        << R"(Debug: "Unable to fetch row" "refused" ")" + insertStatement("coredumps") + '"'
        << R"(Critical: "Failed to store a row in table coredumps: refused Unable to fetch row")"
        << R"(Critical: "Failed to store 1 row in table coredumps: refused Unable to fetch row")";
    QTest::newRow("whole transaction rolled back by a trigger")
        << "CREATE TRIGGER refuse BEFORE INSERT ON coredumps BEGIN SELECT RAISE(ROLLBACK, 'refused'); END"
        << R"(Debug: "Unable to fetch row" "refused" ")" + insertStatement("coredumps") + '"'
        << R"(Critical: "Failed to store a row in table coredumps: refused Unable to fetch row")"
        << R"(Critical: "Failed to store 1 row in table coredumps: refused Unable to fetch row")";
}

void tst_DataBaseWrapper::failedInsertIsReportedAndOthersStored()
{
    QFETCH(QString, sabotage);
    QFETCH(QString, report);
    QFETCH(QString, failure);
    QFETCH(QString, summary);

    openStore();
    inspectorExec(sabotage);
    // The configuration row goes first and makes the store's connection see the changed schema.
    LogEvent event = eventFrom(R"(
        machine { timestamp: 1 }
        dump { timestamp: 1 taskname: "task" }
        generic { timestamp: 2 recordNumber: 3 key: "k" value: "v" })");
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&event);
        COMPARE_LINES(recorder.lines(), (QStringList{successReport(insertStatement("configuration")), report, failure, summary,
                                                     successReport(insertStatement("generic"))}));
    }
    m_store->commit();
    // The rows written before the failure in the same transaction are kept.
    COMPARE_LINES(rows(QStringLiteral("configuration")), QStringList{"1|1||||||0"});
    COMPARE_LINES(rows(QStringLiteral("generic")), QStringList{"1|2|3|k|v|0"});
}

void tst_DataBaseWrapper::storesTextsAsValidUtf8_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("column");

    for (const EventKind& kind : eventKinds()) {
        for (int c = 0; c < kind.columnCount; ++c) {
            if (kind.columns[size_t(c)].storage == Storage::Text)
                QTest::addRow("%s.%s", kind.table, kind.columns[size_t(c)].name) << int(kind.id) << c;
        }
    }
}

// The column under test gets invalid bytes and a NUL, the others a valid multi-byte text.
void tst_DataBaseWrapper::storesTextsAsValidUtf8()
{
    QFETCH(int, kind);
    QFETCH(int, column);

    const EventKind& described = eventKinds()[size_t(kind)];
    const std::string invalid("bad\xffutf8\0\xc3", 10);
    const std::string valid("Gr\xc3\xbc\xc3\x9f\xe2\x82\xac\xf0\x9f\x98\x80");
    EventValues values;
    values.time = 42;
    for (int c = 0; c < described.columnCount; ++c)
        values.texts[size_t(c)] = c == column ? invalid : valid;
    LogEvent event;
    described.fill(event, values);

    openStore();
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&event);
    }
    m_store->commit();

    QSqlQuery query(inspector());
    QVERIFY(query.exec(QStringLiteral("SELECT hex(%1) FROM %2").arg(QLatin1String(described.columns[size_t(column)].name),
                                                                     QLatin1String(described.table))));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toByteArray(), QByteArray("626164EFBFBD7574663800EFBFBD"));
    for (int c = 0; c < described.columnCount; ++c) {
        if (c == column || described.columns[size_t(c)].storage != Storage::Text)
            continue;
        QVERIFY(query.exec(QStringLiteral("SELECT hex(%1) FROM %2").arg(QLatin1String(described.columns[size_t(c)].name),
                                                                         QLatin1String(described.table))));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toByteArray(), QByteArray::fromStdString(valid).toHex().toUpper());
    }
}

void tst_DataBaseWrapper::storesUnsignedNumbersWithTheirBits_data()
{
    QTest::addColumn<quint64>("number");

    QTest::newRow("zero") << Q_UINT64_C(0);
    QTest::newRow("largest signed 64-bit value") << Q_UINT64_C(9223372036854775807);
    QTest::newRow("2^63") << Q_UINT64_C(9223372036854775808);
    QTest::newRow("largest unsigned 64-bit value") << Q_UINT64_C(18446744073709551615);
}

void tst_DataBaseWrapper::storesUnsignedNumbersWithTheirBits()
{
    QFETCH(quint64, number);

    openStore();
    LogEvent event;
    event.mutable_generic()->set_timestamp(number);
    event.mutable_generic()->set_recordnumber(number);
    event.mutable_generic()->set_key("k");
    event.mutable_generic()->set_value("v");
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&event);
    }
    m_store->commit();

    QSqlQuery query(inspector());
    QVERIFY(query.exec(QStringLiteral("SELECT typeof(time), time, typeof(recordNumber), recordNumber FROM generic")));
    QVERIFY(query.next());
    // An integer, never an approximate REAL; the cast back to unsigned gives the number sent.
    QCOMPARE(query.value(0).toString(), QStringLiteral("integer"));
    QCOMPARE(quint64(query.value(1).toLongLong()), number);
    QCOMPARE(query.value(2).toString(), QStringLiteral("integer"));
    QCOMPARE(quint64(query.value(3).toLongLong()), number);
}

void tst_DataBaseWrapper::pendingRowsAreCommitted_data()
{
    QTest::addColumn<QString>("by");

    QTest::newRow("once the event loop runs") << "event loop";
    QTest::newRow("by commit()") << "commit";
    QTest::newRow("by the destructor") << "destructor";
}

void tst_DataBaseWrapper::pendingRowsAreCommitted()
{
    QFETCH(QString, by);

    openStore();
    LogEvent event = eventFrom(R"(reboot { timestamp: 1 issuer: "operator" })");
    {
        MessageRecorder recorder;
        m_store->newLogEvent(&event);
    }
    if (by == QLatin1String("commit"))
        m_store->commit();
    else if (by == QLatin1String("destructor"))
        m_store.reset();
    QTRY_COMPARE_WITH_TIMEOUT(rows(QStringLiteral("reboots")), QStringList{"1|1|operator|0"}, 10000);
}

void tst_DataBaseWrapper::keepsArrivalOrderAcrossTransactions()
{
    openStore();
    // Several transactions' worth of rows, alternating between two tables.
    const int events = 10000;
    {
        MessageRecorder recorder;
        for (int i = 0; i < events; ++i) {
            LogEvent event;
            if (i % 2 == 0) {
                event.mutable_generic()->set_timestamp(quint64(i));
                event.mutable_generic()->set_recordnumber(quint64(i));
                event.mutable_generic()->set_key("k");
                event.mutable_generic()->set_value("v");
            } else {
                event.mutable_reboot()->set_timestamp(quint64(i));
                event.mutable_reboot()->set_issuer("operator");
            }
            m_store->newLogEvent(&event);
        }
    }
    m_store->commit();

    QSqlQuery query(inspector());
    QVERIFY(query.exec(QStringLiteral("SELECT time FROM generic ORDER BY rowID")));
    QList<int> generic;
    while (query.next())
        generic << query.value(0).toInt();
    QVERIFY(query.exec(QStringLiteral("SELECT time FROM reboots ORDER BY rowID")));
    QList<int> reboots;
    while (query.next())
        reboots << query.value(0).toInt();

    QList<int> expectedGeneric;
    QList<int> expectedReboots;
    for (int i = 0; i < events; ++i)
        (i % 2 == 0 ? expectedGeneric : expectedReboots) << i;
    QCOMPARE(generic, expectedGeneric);
    QCOMPARE(reboots, expectedReboots);
}

void tst_DataBaseWrapper::holdsRowsWhileTheDatabaseIsLocked_data()
{
    QTest::addColumn<qint64>("maxHeldBytes");
    QTest::addColumn<bool>("byRetry");

    QTest::newRow("within the bound, stored by flushHeld()") << qint64(64 * 1024 * 1024) << false;
    QTest::newRow("within the bound, stored by the retry") << qint64(64 * 1024 * 1024) << true;
    QTest::newRow("past the bound the newest are lost") << qint64(16 * 1024) << false;
}

void tst_DataBaseWrapper::holdsRowsWhileTheDatabaseIsLocked()
{
    QFETCH(qint64, maxHeldBytes);
    QFETCH(bool, byRetry);

    openStore();
    m_store->setMaxHeldBytes(maxHeldBytes);
    // The lock fails the store's statements at once instead of after its busy timeout.
    sqlite3_busy_timeout(m_store->connection(), 0);
    // Every commit once the lock is gone leaves the database free for another writer.
    int commits = 0;
    int busyAtCommit = 0;
    bool locked = true;
    connect(m_store.get(), &DataBaseWrapper::committed, this, [&commits, &busyAtCommit, &locked] {
        if (locked)
            return;
        ++commits;
        QSqlQuery query(inspector());
        if (query.exec(QStringLiteral("BEGIN IMMEDIATE")))
            query.exec(QStringLiteral("ROLLBACK"));
        else
            ++busyAtCommit;
    });
    inspectorExec(QStringLiteral("BEGIN IMMEDIATE"));

    const int events = 500;
    const DaemonCounters before = daemonCounters();
    MessageRecorder recorder;
    for (int i = 0; i < events; ++i) {
        LogEvent event;
        event.mutable_generic()->set_timestamp(quint64(i));
        event.mutable_generic()->set_recordnumber(quint64(i));
        event.mutable_generic()->set_key("key");
        event.mutable_generic()->set_value("value");
        m_store->newLogEvent(&event);
    }
    const quint64 held = daemonCounters().rowsHeld;
    const quint64 lost = daemonCounters().rowsLost - before.rowsLost;
    QCOMPARE(held + lost, quint64(events));
    QCOMPARE(lost == 0, maxHeldBytes > 1024 * 1024);
    QVERIFY(held > 0);

    inspectorExec(QStringLiteral("COMMIT"));
    locked = false;
    if (byRetry)
        QTRY_COMPARE_WITH_TIMEOUT(daemonCounters().rowsHeld, quint64(0), 10000);
    else
        QCOMPARE(m_store->flushHeld(), 0);
    QCOMPARE(daemonCounters().rowsHeld, quint64(0));
    QCOMPARE(daemonCounters().rowsStored - before.rowsStored, held);
    QCOMPARE(daemonCounters().rowsFailed, before.rowsFailed);
    QVERIFY(commits > 0);
    QCOMPARE(busyAtCommit, 0);

    // The rows kept are the oldest ones, in arrival order.
    QSqlQuery query(inspector());
    QVERIFY(query.exec(QStringLiteral("SELECT time FROM generic ORDER BY rowID")));
    QList<int> stored;
    while (query.next())
        stored << query.value(0).toInt();
    QList<int> expected;
    for (int i = 0; i < int(held); ++i)
        expected << i;
    QCOMPARE(stored, expected);

    QStringList lines{
        QStringLiteral("Debug: \"Unable to fetch row\" \"database is locked\" \"%1\"").arg(insertStatement("generic")),
        QStringLiteral("Critical: \"Holding rows in memory until the database takes them again: table generic: "
                       "database is locked Unable to fetch row\"")};
    QString end = QStringLiteral("Critical: \"The database takes rows again: stored %1 rows held in memory.").arg(held);
    if (lost != 0) {
        lines << QStringLiteral("Critical: \"The rows held in memory reached %1 bytes: newer rows are lost until the "
                                "database takes rows again.\"")
                     .arg(maxHeldBytes);
        end += QStringLiteral(" Lost %1 rows beyond the bound of %2 bytes.").arg(lost).arg(maxHeldBytes);
    }
    lines << end + '"';
    COMPARE_LINES(recorder.lines(), lines);
}

void tst_DataBaseWrapper::manyRowsPerStatementStoreWhatOneRowPerStatementStores_data()
{
    QTest::addColumn<QString>("fault");

    QTest::newRow("no fault") << "none";
    QTest::newRow("a trigger refuses some rows of one table") << "abort";
    QTest::newRow("a trigger rolls the transaction back at some rows") << "rollback";
    QTest::newRow("the database runs full part way") << "full";
    QTest::newRow("another connection holds the write lock part way") << "lock";
}

// Statement reports are shown at verbosity 3, so there every row has a statement of its own; below it
// the rows of a table share statements. Both must leave the same rows with the same rowIDs.
void tst_DataBaseWrapper::manyRowsPerStatementStoreWhatOneRowPerStatementStores()
{
    QFETCH(QString, fault);

    Outcome oneRowPerStatement;
    ConfigSettings::getInstance()->setDBPath(m_dir->filePath(QStringLiteral("single.db")));
    debugLevel = 3;
    storeMixedStream(fault, oneRowPerStatement);
    if (QTest::currentTestFailed())
        return;
    Outcome manyRowsPerStatement;
    ConfigSettings::getInstance()->setDBPath(m_dir->filePath(QStringLiteral("multi.db")));
    debugLevel = 1;
    storeMixedStream(fault, manyRowsPerStatement);
    debugLevel = 3;
    if (QTest::currentTestFailed())
        return;

    QVERIFY(oneRowPerStatement.rows.size() > 3000);
    COMPARE_LINES(manyRowsPerStatement.rows, oneRowPerStatement.rows);
    QCOMPARE(manyRowsPerStatement.stored, oneRowPerStatement.stored);
    QCOMPARE(manyRowsPerStatement.failed, oneRowPerStatement.failed);
    QCOMPARE(manyRowsPerStatement.lost, oneRowPerStatement.lost);
    QCOMPARE(oneRowPerStatement.stored, quint64(oneRowPerStatement.rows.size()));
    // The fault met both stores: rows were lost, or held and stored later.
    QCOMPARE(oneRowPerStatement.failed != 0, fault == QLatin1String("abort") || fault == QLatin1String("rollback"));
    const bool holds = fault == QLatin1String("full") || fault == QLatin1String("lock");
    QCOMPARE(oneRowPerStatement.mostHeld != 0, holds);
    QCOMPARE(manyRowsPerStatement.mostHeld != 0, holds);
}

void tst_DataBaseWrapper::storeMixedStream(const QString& fault, Outcome& outcome)
{
    MessageRecorder recorder;
    openStore();
    // The lock fails the store's statements at once instead of after its busy timeout.
    sqlite3_busy_timeout(m_store->connection(), 0);
    const DaemonCounters before = daemonCounters();
    const int events = 3000;
    for (int i = 0; i < events; ++i) {
        // Transactions of uneven sizes, and the fault from a third to two thirds of the stream.
        if (i % 777 == 0 || i == events / 3 || i == 2 * events / 3)
            m_store->commit();
        if (i == events / 3)
            startFault(fault);
        if (i == 2 * events / 3)
            endFault(fault);
        LogEvent event = mixedEvent(i);
        m_store->newLogEvent(&event);
        outcome.mostHeld = qMax(outcome.mostHeld, daemonCounters().rowsHeld);
    }
    QCOMPARE(m_store->flushHeld(), 0);
    closeStore();
    QSqlDatabase::removeDatabase(QLatin1String(inspectorConnection));
    outcome.rows = allRows(ConfigSettings::getInstance()->getDBPath());
    // However the rows went, the time map found each of them once.
    QCOMPARE(timeMapProblem(ConfigSettings::getInstance()->getDBPath()), QString());
    outcome.stored = daemonCounters().rowsStored - before.rowsStored;
    outcome.failed = daemonCounters().rowsFailed - before.rowsFailed;
    outcome.lost = daemonCounters().rowsLost - before.rowsLost;
    QCOMPARE(daemonCounters().rowsHeld, quint64(0));
}

void tst_DataBaseWrapper::startFault(const QString& fault)
{
    if (fault == QLatin1String("abort")) {
        inspectorExec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON reboots WHEN NEW.issuer LIKE '%7' "
                                     "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    } else if (fault == QLatin1String("rollback")) {
        inspectorExec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON generic WHEN NEW.recordNumber % 97 = 0 "
                                     "BEGIN SELECT RAISE(ROLLBACK, 'refused'); END"));
    } else if (fault == QLatin1String("full")) {
        // A few pages more than the database has, so that it runs full within the next rows.
        const qint64 pages = queryNumber(ConfigSettings::getInstance()->getDBPath(), QStringLiteral("PRAGMA page_count"));
        QVERIFY(pages > 0);
        QCOMPARE(storeExec(QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 4)), SQLITE_OK);
    } else if (fault == QLatin1String("lock")) {
        inspectorExec(QStringLiteral("BEGIN IMMEDIATE"));
    }
}

void tst_DataBaseWrapper::endFault(const QString& fault)
{
    if (fault == QLatin1String("abort") || fault == QLatin1String("rollback"))
        inspectorExec(QStringLiteral("DROP TRIGGER refuse"));
    else if (fault == QLatin1String("full"))
        QCOMPARE(storeExec(QStringLiteral("PRAGMA max_page_count = 1073741823")), SQLITE_OK);
    else if (fault == QLatin1String("lock"))
        inspectorExec(QStringLiteral("COMMIT"));
}

QTEST_GUILESS_MAIN(tst_DataBaseWrapper)
#include "tst_databasewrapper.moc"
