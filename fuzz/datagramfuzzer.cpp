// Feeds arbitrary bytes as one datagram through the listener's decoding into the event store.
#include "configsettings.h"
#include "databasewrapper.h"
#include "eventmodel.h"
#include "programmessagehandler.h"
#include "udplistener.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <google/protobuf/stubs/logging.h>
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

namespace {

// Emptied now and then so that a long run does not fill the disk.
const int inputsBetweenCleanups = 4096;

// Built once and kept for the whole run, as in the daemon.
UDPListener* listener = nullptr;
DataBaseWrapper* store = nullptr;

// Removed at exit together with the database inside it.
QTemporaryDir& databaseDir()
{
    static QTemporaryDir dir;
    return dir;
}

// The event tables and the time map's entries; the marks stay, as for rows that retention deleted.
void deleteAllRows()
{
    std::string sql = std::string("DELETE FROM ") + timeMapTable + ";";
    for (const EventKind& kind : eventKinds())
        sql += std::string(" DELETE FROM \"") + kind.table + "\";";
    sqlite3_exec(store->connection(), sql.c_str(), nullptr, nullptr, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // Diagnostics stay silent at level 0; a fatal one still aborts and so counts as a finding.
    qInstallMessageHandler(programMessageHandler);
    // Invalid UTF-8 is only reported by the protobuf log, which would flood the fuzzer's output.
    google::protobuf::SetLogHandler(nullptr);

    new QCoreApplication(*argc, *argv);
    ConfigSettings* settings = ConfigSettings::getInstance();
    settings->setAddress(QStringLiteral("127.0.0.1"));
    // Port 0 lets the system choose a free port.
    settings->setPort(0);
    settings->setDBPath(databaseDir().filePath(QStringLiteral("fuzz.db")));

    listener = new UDPListener(*settings, nullptr);
    store = new DataBaseWrapper(*settings, nullptr);
    if (!store->isReady())
        qFatal("%s", qPrintable(store->errorString()));
    QObject::connect(listener, &UDPListener::newLogEvent, store, &DataBaseWrapper::newLogEvent);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static int inputs = 0;
    listener->processTheDatagram(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    store->commit();
    if (++inputs % inputsBetweenCleanups == 0)
        deleteAllRows();
    return 0;
}
