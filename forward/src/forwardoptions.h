#ifndef FORWARDOPTIONS_H
#define FORWARDOPTIONS_H

#include "cliargs.h"

// The forwarder's command line: its options declared on one parser, in the order of its help.
class ForwardOptions
{
public:
    ForwardOptions(int argc, char** argv);

    // Registers the options and parses; throws the framework's exceptions, help included.
    void parse();

    CliArgCmdLine cmdLine;
    CliArg configFile;
    CliArg convertMaster;
    CliMultiArg debugMsgs;
    CliArgHelp help;
};

#endif
