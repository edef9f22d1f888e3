#include "commandlinereport.h"
#include "logreader.h"
#include "masterstore.h"
#include "pager.h"
#include "programmessagehandler.h"
#include "readeroptions.h"
#include "sqlitestore.h"

#include <QDateTime>
#include <QDebug>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Opens the store at location and prints what the request selects from it, through a pager on a terminal
// unless following.
template <typename Store>
int readFrom(const QString& location, ReaderRequest& request)
{
    Store store;
    if (!store.open(location)) {
        writeError(store.errorString());
        return 1;
    }
    request.columns = terminalColumns(request.columns);
    Pager pager;
    if (request.pager && !request.follow && isatty(STDOUT_FILENO))
        pager.start();
    const int status = runRequest(request, store, stdout);
    pager.finish();
    return status;
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
