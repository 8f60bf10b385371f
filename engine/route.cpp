#include "diag/debug.h"
#include "engine/tarnwick.h"

const char consdev[] = "";

// Placeholder until routing lands: the call is traced and goes nowhere.
void logmsg(int pri, const char *msg, const char *from, int flags) {
    LogEvent(Trace, "logmsg: pri %o, flags %x, from %s, msg %s\n", pri, flags, from, msg);
}
