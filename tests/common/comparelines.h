#ifndef COMPARELINES_H
#define COMPARELINES_H

#include <QStringList>
#include <QtTest>

// Compares two lists of lines one by one, so that a failure shows the first line that differs.
#define COMPARE_LINES(actual, expected) \
    do { \
        const QStringList actualLines = (actual); \
        const QStringList expectedLines = (expected); \
        for (int line = 0; line < qMin(actualLines.size(), expectedLines.size()); ++line) \
            QCOMPARE(actualLines.at(line), expectedLines.at(line)); \
        QCOMPARE(actualLines.size(), expectedLines.size()); \
    } while (false)

#endif
