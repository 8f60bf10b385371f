// The system clock and local time of clock.h: clock_gettime, localtime_r.
#include "platform/clock.h"

#include <sys/time.h>

#include <cstring>

#include "platform/common/clock_system.h"

int64_t SystemClockMillis() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ClockLocal(time_t t, struct tm *out) {
    if (localtime_r(&t, out) == nullptr) {
        std::memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}
