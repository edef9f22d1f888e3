#ifndef COMMANDLINEREPORT_H
#define COMMANDLINEREPORT_H

#include "cliargexceptions.h"

#include <cstdio>
#include <functional>

class CliMultiArg;

// What main returns when its command line ends the program, help included: exit status 255.
constexpr int commandLineErrorStatus = -1;

// Runs parse; a command-line error, help included, is reported as the programs do: what() and "\r\n" on stream,
// after everything already written to standard output. Returns 0, or commandLineErrorStatus after a report.
template <typename Parse>
int parseCommandLine(Parse parse, std::FILE* stream)
{
    try {
        parse();
    } catch (const CliArgBaseException& error) {
        std::fflush(stdout);
        std::fprintf(stream, "%s\r\n", error.what());
        return commandLineErrorStatus;
    }
    return 0;
}

// The start of a program: its diagnostics routed, its command line parsed and reported on stream, its verbosity
// taken from the count of debugMsgs. Returns 0, or commandLineErrorStatus after a report.
int startProgram(const std::function<void()>& parse, const CliMultiArg& debugMsgs, std::FILE* stream);

#endif
