// The operator's files that list the kinds by hand (bash completion, manual pages) list exactly those of the model.
#include "eventmodel.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString sourceFile(const char* path)
{
    QFile file(QStringLiteral(TEVRIK_SOURCE_DIR "/") + QLatin1String(path));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// The text of a manual page's section from its heading to the next one.
QString section(const QString& page, const QString& heading)
{
    const int start = page.indexOf(QStringLiteral("\n# ") + heading + QLatin1Char('\n'));
    if (start < 0)
        return QString();
    const int end = page.indexOf(QStringLiteral("\n# "), start + 1);
    return page.mid(start + 1, end < 0 ? -1 : end - start - 1);
}

// Prose wraps where it will: runs of blanks, tabs and line ends read as one blank.
QString words(const QString& text)
{
    return text.simplified();
}

QString typesInOrder(const char* separator)
{
    QStringList types;
    for (const EventKind& kind : eventKinds())
        types << QLatin1String(kind.type);
    return types.join(QLatin1String(separator));
}

QString senderTypes(const char* separator)
{
    return QString::fromStdString(senderTypeList()).replace(QLatin1String(", "), QLatin1String(separator));
}

QStringList columnNames(const EventKind& kind, const char* before, const char* after)
{
    QStringList names;
    for (int c = 0; c < kind.columnCount; ++c)
        names << QLatin1String(before) + QLatin1String(kind.columns[std::size_t(c)].name) + QLatin1String(after);
    return names;
}

} // namespace

class tst_KindDocs : public QObject
{
    Q_OBJECT

private slots:
    void listsEveryKind_data();
    void listsEveryKind();
};

void tst_KindDocs::listsEveryKind_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    const QString completion = sourceFile("packaging/tevrik.bash-completion");
    // Both the sender's and the reader's -t complete the types.
    const QRegularExpression typeCompletion(QStringLiteral("-t \\| --type\\)\\n\\s*(.*)\\n"));
    QRegularExpressionMatchIterator it = typeCompletion.globalMatch(completion);
    QStringList completions;
    while (it.hasNext())
        completions << it.next().captured(1);
    const QString typeWords = QStringLiteral("COMPREPLY=($(compgen -W '%1' -- \"$cur\"))").arg(senderTypes(" "));
    QTest::newRow("bash completion of -t") << "tevrik.bash-completion" << completions.join(QLatin1Char('\n'))
                                           << QStringList{typeWords, typeWords}.join(QLatin1Char('\n'));

    const QString sender = sourceFile("packaging/man/tevriklogevent.1.scd.in");
    QTest::newRow("sender's -t") << "tevriklogevent.1" << words(sender)
                                 << QStringLiteral("Options are: %1. Required;").arg(senderTypes(", "));
    QStringList entries;
    for (EventKindId id : senderTypeOrder()) {
        const EventKind& kind = eventKind(id);
        QStringList values;
        for (int c = 0; c < kind.columnCount; ++c)
            values << QStringLiteral("*-m* _%1_").arg(QLatin1String(kind.columns[std::size_t(c)].value));
        entries << QStringLiteral("*%1* %2\n\t%3; table *%4*.")
                       .arg(QLatin1String(kind.type), values.join(QLatin1Char(' ')), QLatin1String(kind.summary),
                            QLatin1String(kind.table));
    }
    QTest::newRow("sender's MESSAGE TYPES")
        << "tevriklogevent.1" << section(sender, QStringLiteral("MESSAGE TYPES"))
        << QStringLiteral("needed number are ignored.\n\n%1\n\nThe type name").arg(entries.join(QLatin1String("\n\n")));

    const QString reader = sourceFile("packaging/man/tevriklog.1.scd.in");
    QTest::newRow("reader's order of the tables")
        << "tevriklog.1" << words(reader)
        << QStringLiteral("the fixed order of the tables: %1).").arg(typesInOrder(", "));
    QTest::newRow("reader's -t") << "tevriklog.1" << words(reader)
                                 << QStringLiteral("The types are the sender's: %1. *-S*").arg(senderTypes(", "));
    QString fields = QStringLiteral("# FIELDS\n\n[[ *type*\n:[ *columns*\n");
    for (const EventKind& kind : eventKinds())
        fields += QStringLiteral("|  %1\n:  %2\n")
                      .arg(QLatin1String(kind.type), columnNames(kind, "", "").join(QLatin1String(", ")));
    // The section ends with the table: a row too many fails as one too few.
    QTest::newRow("reader's FIELDS") << "tevriklog.1"
                                     << section(reader, QStringLiteral("FIELDS")) + QStringLiteral("# EXIT")
                                     << fields + QStringLiteral("# EXIT");

    const QString daemon =
        words(section(sourceFile("packaging/man/tevriksystemlog.8.scd.in"), QStringLiteral("DATABASE")));
    QStringList tables;
    QStringList integers;
    for (EventKindId id : senderTypeOrder()) {
        const EventKind& kind = eventKind(id);
        tables << QStringLiteral("*%1* %2: %3.")
                      .arg(QLatin1String(kind.table), QLatin1String(kind.summary),
                           columnNames(kind, "*", "*").join(QLatin1String(", ")));
        for (int c = 0; c < kind.columnCount; ++c) {
            if (kind.columns[std::size_t(c)].storage == Storage::Integer)
                integers << QStringLiteral("*%1*").arg(QLatin1String(kind.columns[std::size_t(c)].name));
        }
    }
    QTest::newRow("daemon's tables")
        << "tevriksystemlog.8" << daemon
        << QStringLiteral("sent to a master database. %1 *schemaver*").arg(tables.join(QLatin1Char(' ')));
    QTest::newRow("daemon's integer columns")
        << "tevriksystemlog.8" << daemon
        << QStringLiteral("%1 is an INTEGER; all other event columns are TEXT NOT NULL.")
               .arg(integers.join(QLatin1String(", ")));
}

void tst_KindDocs::listsEveryKind()
{
    QFETCH(QString, file);
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QVERIFY2(!text.isEmpty(), qPrintable(file));
    QVERIFY2(text.contains(expected),
             qPrintable(QStringLiteral("%1 should say:\n%2\nIt says:\n%3").arg(file, expected, text)));
}

QTEST_GUILESS_MAIN(tst_KindDocs)
#include "tst_kinddocs.moc"
