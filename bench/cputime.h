#ifndef CPUTIME_H
#define CPUTIME_H

#include <sys/resource.h>

// User and system time of this process so far, in seconds.
inline double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

#endif
