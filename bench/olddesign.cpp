// The daemon's first design, kept for the benchmark's comparison: a QUdpSocket with the kernel's
// default receive buffer, one readDatagram per datagram into a new buffer with the sender's
// address, a new LogEvent per datagram, and for every row a QSqlQuery prepared anew and committed
// by itself in SQLite's default journal.
//
// usage: tevrikolddesign PORT DATABASE
//
// It stores into the tables of an existing database (made by the daemon), one row per payload,
// binding the payload's values to the table's columns in their order, as the first store did.
#include "eventmodel.h"
#include "logmessage.pb.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUdpSocket>
#include <QVariantList>

#include <cstdio>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

namespace {

// The columns that a row's values fill, in the table's order: all but the key and the flag that
// the database sets itself.
std::map<QString, QStringList> tableColumns()
{
    std::map<QString, QStringList> columns;
    QSqlQuery tables(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
    while (tables.next()) {
        const QString table = tables.value(0).toString();
        QSqlQuery info(QStringLiteral("PRAGMA table_info(%1)").arg(table));
        while (info.next()) {
            const QString column = info.value(1).toString();
            if (column != QLatin1String("rowID") && column != QLatin1String("sentToMasterDB"))
                columns[table] << column;
        }
    }
    return columns;
}

class OldStore
{
public:
    explicit OldStore(std::map<QString, QStringList> columns)
        : m_columns(std::move(columns))
    {
    }

    void store(const LogEvent& event)
    {
        forEachPayload(event, [this](const EventKind& kind, const EventValues& values) {
            QVariantList row{number(values.time)};
            for (int c = 0; c < kind.columnCount; ++c) {
                const auto column = std::size_t(c);
                row << (kind.columns[column].storage == Storage::Integer ? number(values.numbers[column])
                                                                           : text(values.texts[column]));
            }
            insertRow(QLatin1String(kind.table), row);
        });
    }

private:
    static QVariant number(quint64 value) { return QVariant(static_cast<qlonglong>(value)); }
    static QVariant text(std::string_view value)
    {
        return QVariant(QString::fromUtf8(value.data(), static_cast<int>(value.size())));
    }

    void insertRow(const QString& table, const QVariantList& values)
    {
        const QStringList& names = m_columns[table];
        QStringList placeholders;
        for (const QString& name : names)
            placeholders << QLatin1Char(':') + name;
        QSqlQuery query;
        bool stored = query.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                        .arg(table, names.join(QStringLiteral(", ")),
                                             placeholders.join(QStringLiteral(", "))));
        if (stored) {
            for (int i = 0; i < placeholders.size() && i < values.size(); ++i)
                query.bindValue(placeholders.at(i), values.at(i), QSql::In);
            stored = query.exec();
        }
        if (!stored)
            std::fprintf(stderr, "row lost in %s: %s\n", qPrintable(table), qPrintable(query.lastError().text()));
    }

    std::map<QString, QStringList> m_columns;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tevrikolddesign PORT DATABASE\n");
        return 2;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QString::fromLocal8Bit(argv[2]));
    if (!db.open()) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[2], qPrintable(db.lastError().text()));
        return 1;
    }
    OldStore store(tableColumns());

    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), QByteArray(argv[1]).toUShort())) {
        std::fprintf(stderr, "cannot bind: %s\n", qPrintable(socket.errorString()));
        return 1;
    }
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [&socket, &store] {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram;
            datagram.resize(static_cast<int>(socket.pendingDatagramSize()));
            QHostAddress sender;
            quint16 senderPort = 0;
            const qint64 received = socket.readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
            if (received < 0)
                continue;
            datagram.truncate(static_cast<int>(received));
            const auto event = std::make_unique<LogEvent>();
            if (event->ParseFromArray(datagram.constData(), datagram.size()))
                store.store(*event);
        }
    });
    std::printf("listening\n");
    std::fflush(stdout);
    return app.exec();
}
