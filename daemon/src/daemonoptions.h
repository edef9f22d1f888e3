#ifndef DAEMONOPTIONS_H
#define DAEMONOPTIONS_H

#include "cliargs.h"
#include "netconstraints.h"

// The daemon's command line: its options declared on one parser, in the order of its help.
class DaemonOptions
{
    // Declared first: the options below point at them.
    NumericAddressConstraint m_addressConstraint;
    PortNumberConstraint m_portConstraint;

public:
    DaemonOptions(int argc, char** argv);

    // Registers the options and parses; throws the framework's exceptions, help included.
    void parse();

    CliArgCmdLine cmdLine;
    CliArg configFile;
    CliArg address;
    CliArg port;
    CliMultiArg debugMsgs;
    CliArgHelp help;
};

#endif
