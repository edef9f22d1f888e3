#ifndef READEROPTIONS_H
#define READEROPTIONS_H

#include "cliargs.h"

// The reader's command line: its options declared on one parser, in the order of its help.
class ReaderOptions
{
public:
    ReaderOptions(int argc, char** argv);

    // Registers the options and parses; throws the framework's exceptions, help included.
    void parse();

    CliArgCmdLine cmdLine;
    CliArg configFile;
    CliArg database;
    CliArg master;
    CliMultiArg host;
    CliMultiArg type;
    CliArg since;
    CliArg until;
    CliArg lines;
    CliArg reverse;
    CliArg grep;
    CliMultiArg match;
    CliArg follow;
    CliArg output;
    CliArg utc;
    CliArg noPager;
    CliArg stats;
    CliArg field;
    CliArg histogram;
    CliArg showCursor;
    CliArg afterCursor;
    CliArg cursorFile;
    CliMultiArg debugMsgs;
    CliArgHelp help;
};

#endif
