#ifndef PROGRAMMESSAGEHANDLER_H
#define PROGRAMMESSAGEHANDLER_H

#include <QtGlobal>
#include <QString>

// Verbosity of the process: the number of -d options, cut to 8 bits.
// 0 shows only fatal messages, 1 adds critical, 2 adds warnings, 3 and more add debug.
extern quint8 debugLevel;

// Routes every Qt diagnostic of the process to standard error, gated by debugLevel. When standard error is
// the journal's stream, this and the writers below begin each line with its syslog priority ("<2>Critical: ...").
void programMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Writes "Error: <message>" to standard error whatever the verbosity, for start-up refusals.
void writeError(const QString& message);

// Writes one diagnostic line of the given kind ("Warning: ", "Info: ", ...) whatever the verbosity, quoted as
// the debug stream quotes a string: for the reports an operator must see at any verbosity.
void writeAlways(QtMsgType type, const QString& message);

// Writes the fatal line for a user's input error and ends the process with status 1:
// a typo on the command line must not look like, or be collected as, a crash.
[[noreturn]] void exitOnInputError(const QString& message);

#endif
