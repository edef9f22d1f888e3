#ifndef CLIARGVISITORIFACE_H
#define CLIARGVISITORIFACE_H

class CliArgCmdLineContext;

// Callback run right after an argument has taken an occurrence from the command line.
class CliArgVisitorIface
{
public:
    virtual ~CliArgVisitorIface() = default;

    virtual void visit(CliArgCmdLineContext& context) = 0;
};

#endif
