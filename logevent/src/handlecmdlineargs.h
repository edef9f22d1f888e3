#ifndef HANDLECMDLINEARGS_H
#define HANDLECMDLINEARGS_H

class CliArg;
class CliMultiArg;
class LogEvent;

// Fills event with the one payload that the type and its ordered values describe, stamped
// with the current time in milliseconds. An unknown type, too few values or an invalid
// record number ends the process with a fatal line and exit status 1.
void handleCmdLineArgs(const CliArg& type, const CliMultiArg& msgpayload, LogEvent& event);

#endif
