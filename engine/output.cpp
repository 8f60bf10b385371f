#include "engine/tarnwick.h"
#include "platform/clock.h"

// Placeholder until output lands.
void writetarget(LogTarget *t, int, const char *) {
    t->lastwrite = static_cast<int32_t>(ClockNow());
    t->repeats = 0;
}
