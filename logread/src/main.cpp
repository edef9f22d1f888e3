#include "logreader.h"
#include "programmessagehandler.h"
#include "readeroptions.h"
#include "sqlitestore.h"

#include <QDateTime>
#include <QDebug>

#include <cstdio>

int main(int argc, char** argv)
{
    qInstallMessageHandler(programMessageHandler);

    ReaderOptions options(argc, argv);
    try {
        options.parse();
    } catch (const CliArgBaseException& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\r\n", e.what());
        return -1;
    }

    if (options.debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(options.debugMsgs.count());

    ReaderRequest request;
    QString error;
    if (!makeRequest(options, QDateTime::currentMSecsSinceEpoch(), request, error)) {
        writeError(error);
        return 1;
    }
    qDebug() << QStringLiteral("Reading database %1").arg(request.dbPath);

    SqliteStore store;
    if (!store.open(request.dbPath)) {
        writeError(store.errorString());
        return 1;
    }
    return runRequest(request, store, stdout);
}
