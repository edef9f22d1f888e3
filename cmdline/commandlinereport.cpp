#include "commandlinereport.h"

#include "climultiarg.h"
#include "programmessagehandler.h"

int startProgram(const std::function<void()>& parse, const CliMultiArg& debugMsgs, std::FILE* stream)
{
    qInstallMessageHandler(programMessageHandler);
    if (const int status = parseCommandLine(parse, stream))
        return status;
    if (debugMsgs.isPresent())
        debugLevel = static_cast<quint8>(debugMsgs.count());
    return 0;
}
