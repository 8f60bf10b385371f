// The system clock and local time of clock.h: GetSystemTimeAsFileTime, the
// runtime's localtime_s.
#include "platform/clock.h"

#include <windows.h>

#include <cstring>
#include <ctime>

#include "platform/common/clock_system.h"

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

}  // namespace

int64_t SystemClockMillis() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - kEpochDelta) / 10000;
}

int ClockLocal(time_t t, struct tm *out) {
    // The runtime's local time (TZ when set, else the system's zone): the one
    // clock behind daily file names and trace stamps alike.
    if (localtime_s(out, &t) != 0) {
        std::memset(out, 0, sizeof *out);
        return -1;
    }
    return 0;
}
