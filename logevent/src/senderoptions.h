#ifndef SENDEROPTIONS_H
#define SENDEROPTIONS_H

#include "cliargs.h"
#include "netconstraints.h"

// The sender's command line: its options declared on one parser, in the order of its help.
class SenderOptions
{
    // Declared first: the options below point at them.
    NumericAddressConstraint m_addressConstraint;
    PortNumberConstraint m_portConstraint;

public:
    SenderOptions(int argc, char** argv);

    // Registers the options and parses; throws the framework's exceptions, help included.
    void parse();

    CliArgCmdLine cmdLine;
    CliArg address;
    CliArg port;
    CliArg type;
    CliMultiArg msgpayload;
    CliMultiArg debugMsgs;
    CliArgHelp help;
};

#endif
