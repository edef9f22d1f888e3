#include "commandlinereport.h"
#include "logreader.h"
#include "programmessagehandler.h"
#include "readeroptions.h"
#include "sqlitestore.h"

#include <QDateTime>
#include <QDebug>

#include <cstdio>

int main(int argc, char** argv)
{
    ReaderOptions options(argc, argv);
    if (const int status = startProgram([&options] { options.parse(); }, options.debugMsgs, stderr))
        return status;

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
