#include "commandlinereport.h"
#include "logreader.h"
#include "masterstore.h"
#include "programmessagehandler.h"
#include "readeroptions.h"
#include "sqlitestore.h"

#include <QDateTime>
#include <QDebug>

#include <csignal>
#include <cstdio>

namespace {

// Opens the store at location and prints what the request selects from it.
template <typename Store>
int readFrom(const QString& location, const ReaderRequest& request)
{
    Store store;
    if (!store.open(location)) {
        writeError(store.errorString());
        return 1;
    }
    return runRequest(request, store, stdout);
}

} // namespace

int main(int argc, char** argv)
{
    // A closed output pipe is an error of the write, which the reader takes as the end of its output.
    std::signal(SIGPIPE, SIG_IGN);
    ReaderOptions options(argc, argv);
    if (const int status = startProgram([&options] { options.parse(); }, options.debugMsgs, stderr))
        return status;

    ReaderRequest request;
    QString error;
    if (!makeRequest(options, QDateTime::currentMSecsSinceEpoch(), request, error)) {
        writeError(error);
        return 1;
    }
    if (request.master)
        return readFrom<MasterStore>(*request.master, request);
    qDebug() << QStringLiteral("Reading database %1").arg(request.dbPath);
    return readFrom<SqliteStore>(request.dbPath, request);
}
