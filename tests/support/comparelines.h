#ifndef COMPARELINES_H
#define COMPARELINES_H

#include <QStringList>
#include <QtTest>

// Compares two lists of lines one by one, so that a failure shows the first line that differs.
// Its local names carry a prefix so as not to shadow the caller's.
#define COMPARE_LINES(actual, expected) \
    do { \
        const QStringList compareLinesActual = (actual); \
        const QStringList compareLinesExpected = (expected); \
        for (int compareLinesAt = 0; compareLinesAt < qMin(compareLinesActual.size(), compareLinesExpected.size()); \
             ++compareLinesAt) \
            QCOMPARE(compareLinesActual.at(compareLinesAt), compareLinesExpected.at(compareLinesAt)); \
        QCOMPARE(compareLinesActual.size(), compareLinesExpected.size()); \
    } while (false)

#endif
