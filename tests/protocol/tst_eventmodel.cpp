#include "eventmodel.h"
#include "logmessage.pb.h"
#include "storedtext.h"

#include <QRandomGenerator>
#include <QtTest>

#include <sqlite3.h>

using google::protobuf::FieldDescriptor;

class tst_EventModel : public QObject
{
    Q_OBJECT

private slots:
    void describesEveryPayload();
    void readsWhatItFills_data();
    void readsWhatItFills();
    void statementsMatchColumns_data();
    void statementsMatchColumns();
    void storedText_data();
    void storedText();
    void validityAgreesWithQt();
    void masterText_data();
    void masterText();
};

namespace {

QString name(const char* text)
{
    return QString::fromLatin1(text);
}

void addKindRows()
{
    QTest::addColumn<int>("kind");
    for (const EventKind& kind : eventKinds())
        QTest::newRow(kind.type) << int(kind.id);
}

const EventKind& currentKind()
{
    QFETCH(int, kind);
    return eventKinds()[size_t(kind)];
}

} // namespace

// A payload added to the envelope without a description, or a description naming a field that
// the schema does not have, fails here.
void tst_EventModel::describesEveryPayload()
{
    const auto* envelope = LogEvent::descriptor();
    QCOMPARE(size_t(envelope->field_count()), eventKindCount);
    QStringList types;
    for (const EventKind& kind : eventKinds()) {
        const FieldDescriptor* field = envelope->field(int(kind.id));
        QCOMPARE(name(kind.envelopeField), QString::fromStdString(field->name()));
        QCOMPARE(name(kind.payload), QString::fromStdString(field->message_type()->name()));
        const auto* payload = field->message_type();
        QCOMPARE(payload->field_count(), kind.columnCount + 1);
        QCOMPARE(payload->field(0)->name(), std::string("timestamp"));
        for (int c = 0; c < kind.columnCount; ++c) {
            const EventColumn& column = kind.columns[size_t(c)];
            const FieldDescriptor* value = payload->field(c + 1);
            QCOMPARE(name(column.field), QString::fromStdString(value->name()));
            QCOMPARE(value->cpp_type() == FieldDescriptor::CPPTYPE_UINT64, column.storage == Storage::Integer);
        }
        QVERIFY(eventKindOfType(kind.type) == &kind);
        types << name(kind.type);
    }
    QCOMPARE(types.removeDuplicates(), 0);
    QVERIFY(!eventKindOfType("Reboot"));
}

void tst_EventModel::readsWhatItFills_data()
{
    addKindRows();
}

void tst_EventModel::readsWhatItFills()
{
    const EventKind& kind = currentKind();
    std::vector<std::string> texts;
    EventValues written;
    written.time = 1700000000123;
    for (int c = 0; c < kind.columnCount; ++c) {
        texts.push_back("value " + std::to_string(c));
        written.numbers[size_t(c)] = 18446744073709551615ULL - quint64(c);
    }
    for (int c = 0; c < kind.columnCount; ++c)
        written.texts[size_t(c)] = texts[size_t(c)];

    LogEvent event;
    kind.fill(event, written);
    std::vector<const FieldDescriptor*> present;
    event.GetReflection()->ListFields(event, &present);
    QCOMPARE(present.size(), size_t(1));
    QCOMPARE(present.front()->index(), int(kind.id));
    for (const EventKind& other : eventKinds())
        QCOMPARE(other.carried(event) != nullptr, &other == &kind);

    EventValues read;
    kind.read(*kind.carried(event), read);
    QCOMPARE(read.time, written.time);
    for (int c = 0; c < kind.columnCount; ++c) {
        if (kind.columns[size_t(c)].storage == Storage::Integer)
            QCOMPARE(read.numbers[size_t(c)], written.numbers[size_t(c)]);
        else
            QCOMPARE(read.texts[size_t(c)], written.texts[size_t(c)]);
    }
}

void tst_EventModel::statementsMatchColumns_data()
{
    addKindRows();
}

// The literal statements name the described columns, in order, with their storage.
void tst_EventModel::statementsMatchColumns()
{
    const EventKind& kind = currentKind();
    QString columns = QStringLiteral("time");
    QString parameters = QStringLiteral(":time");
    for (int c = 0; c < kind.columnCount; ++c) {
        columns += QStringLiteral(", ") + name(kind.columns[size_t(c)].name);
        parameters += QStringLiteral(", :") + name(kind.columns[size_t(c)].name);
    }
    QCOMPARE(name(kind.insert),
             QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)").arg(name(kind.table), columns, parameters));

    sqlite3* db = nullptr;
    QCOMPARE(sqlite3_open(":memory:", &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, kind.createTable, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* info = nullptr;
    const QByteArray pragma = QByteArray("PRAGMA table_info(") + kind.table + ')';
    QCOMPARE(sqlite3_prepare_v2(db, pragma.constData(), -1, &info, nullptr), SQLITE_OK);
    QStringList declared;
    while (sqlite3_step(info) == SQLITE_ROW) {
        declared << QStringLiteral("%1 %2").arg(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info, 1))),
                                                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(info, 2))));
    }
    sqlite3_finalize(info);
    sqlite3_close(db);
    QStringList expected{QStringLiteral("rowID INTEGER"), QStringLiteral("time INTEGER")};
    for (int c = 0; c < kind.columnCount; ++c) {
        const EventColumn& column = kind.columns[size_t(c)];
        expected << name(column.name) + (column.storage == Storage::Integer ? QStringLiteral(" INTEGER") : QStringLiteral(" TEXT"));
    }
    expected << QStringLiteral("sentToMasterDB INTEGER");
    QCOMPARE(declared, expected);
}

void tst_EventModel::storedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("stored");

    const QByteArray r("\xef\xbf\xbd");
    QTest::newRow("ASCII") << QByteArray("load average: 0.42") << QByteArray("load average: 0.42");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("multi-byte kept") << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80")
                                     << QByteArray("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80");
    QTest::newRow("NUL kept") << QByteArray("a\0b", 3) << QByteArray("a\0b", 3);
    QTest::newRow("stray byte and cut sequence") << QByteArray("bad\xffutf8\xc3") << "bad" + r + "utf8" + r;
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80x") << r + r + r + "x";
    QTest::newRow("overlong") << QByteArray("\xc0\xafx") << r + r + "x";
    QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << r + r + r + r;
    QTest::newRow("leading byte order mark kept") << QByteArray("\xef\xbb\xbf\xff") << "\xef\xbb\xbf" + r;
    QTest::newRow("invalid after eight ASCII bytes") << QByteArray("12345678\x80") << "12345678" + r;
}

void tst_EventModel::storedText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, stored);
    std::string scratch;
    const std::string_view view(text.constData(), size_t(text.size()));
    const std::string_view result = ::storedText(view, scratch);
    QCOMPARE(QByteArray(result.data(), int(result.size())), stored);
    // A valid text is stored as it came, without a copy.
    QCOMPARE(result.data() == view.data(), text == stored);
}

// The fast check must call valid exactly what Qt's decoder keeps unchanged (behind a first
// character, since Qt drops a leading byte order mark).
void tst_EventModel::validityAgreesWithQt()
{
    QRandomGenerator random(18);
    const char alphabet[] = {'a', '\0', char(0x7f), char(0x80), char(0x9f), char(0xa0), char(0xbf), char(0xc0),
                             char(0xc2), char(0xdf), char(0xe0), char(0xed), char(0xef), char(0xf0), char(0xf4),
                             char(0xf5), char(0xff), char(0x8f), char(0x90), char(0xbe), char(0xb7), char(0xbb)};
    for (int i = 0; i < 200000; ++i) {
        QByteArray text("x");
        const int length = int(random.bounded(20));
        for (int j = 0; j < length; ++j)
            text += alphabet[random.bounded(int(sizeof alphabet))];
        const bool qtKeeps = QString::fromUtf8(text.constData(), text.size()).toUtf8() == text;
        if (isValidUtf8(std::string_view(text.constData(), size_t(text.size()))) != qtKeeps)
            QFAIL(qPrintable(QStringLiteral("disagrees with Qt on %1").arg(QString::fromLatin1(text.toHex(' ')))));
    }
}

void tst_EventModel::masterText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("altered");

    QTest::newRow("valid") << QByteArray("gr\xc3\xbc\xc3\x9f") << QByteArray("gr\xc3\xbc\xc3\x9f") << false;
    QTest::newRow("NUL") << QByteArray("key\0x", 5) << QByteArray("key\xef\xbf\xbdx") << true;
    QTest::newRow("invalid and NUL") << QByteArray("\xff\0", 2) << QByteArray("\xef\xbf\xbd\xef\xbf\xbd") << true;
}

void tst_EventModel::masterText()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, sent);
    QFETCH(bool, altered);
    std::string scratch;
    bool wasAltered = !altered;
    const std::string_view result = ::masterText(std::string_view(text.constData(), size_t(text.size())), scratch, &wasAltered);
    QCOMPARE(QByteArray(result.data(), int(result.size())), sent);
    QCOMPARE(wasAltered, altered);
}

QTEST_APPLESS_MAIN(tst_EventModel)
#include "tst_eventmodel.moc"
