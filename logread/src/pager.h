#ifndef PAGER_H
#define PAGER_H

#include <csignal>
#include <sys/types.h>

// The standard output sent through a pager while it runs, as the journal's reader does on a terminal.
class Pager
{
public:
    Pager() = default;
    ~Pager();
    Pager(const Pager&) = delete;
    Pager& operator=(const Pager&) = delete;

    // Starts $TEVRIKLOG_PAGER, else $PAGER, else less (with LESS=FRSXMK when LESS is unset) and sends the
    // standard output to it. False when there is none (an empty name or cat) or it cannot be started: the
    // output stays where it was.
    bool start();
    // Ends the pager's input and waits until it quits, then gives the standard output back.
    void finish();

private:
    pid_t m_pid = -1;
    int m_savedOutput = -1;
    // SIGINT is the pager's while it runs: less quits on it, and the reader then ends as after q.
    struct sigaction m_savedInterrupt = {};
};

// The number of columns of the terminal on the standard output, or fallback when it is no terminal.
int terminalColumns(int fallback);

#endif
