#include "daemoncounters.h"

DaemonCounters& daemonCounters()
{
    static DaemonCounters counters;
    return counters;
}
