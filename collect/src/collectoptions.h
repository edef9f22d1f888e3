#ifndef COLLECTOPTIONS_H
#define COLLECTOPTIONS_H

#include "cliargs.h"

// The collector's command line: its options declared on one parser, in the order of its help.
class CollectOptions
{
public:
    CollectOptions(int argc, char** argv);

    // Registers the options and parses; throws the framework's exceptions, help included.
    void parse();

    CliArgCmdLine cmdLine;
    CliArg configFile;
    CliArg journalDirectory;
    CliArg root;
    CliArg once;
    CliMultiArg debugMsgs;
    CliArgHelp help;
};

#endif
