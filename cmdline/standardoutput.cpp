#include "standardoutput.h"

#include <QTextStream>

#include <cstdio>

void writeToStandardOutput(const QString& text)
{
    QTextStream out(stdout);
    out << text;
    out.flush();
}
