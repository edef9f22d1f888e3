#ifndef STANDARDOUTPUT_H
#define STANDARDOUTPUT_H

#include <QString>

// Writes text to standard output through a text stream and flushes it, so that later C stdio output follows it.
void writeToStandardOutput(const QString& text);

#endif
