#include "platform/clock.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "platform/clock_testing.h"

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

std::atomic<ClockSource> clock_source{nullptr};

int64_t NowMillis() {
    ClockSource source = clock_source.load(std::memory_order_acquire);
    if (source != nullptr) {
        return source();
    }
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (ticks - kEpochDelta) / 10000;
}

}  // namespace

void ClockSetSource(ClockSource source) {
    clock_source.store(source, std::memory_order_release);
}

time_t ClockNow() {
    int64_t ms = NowMillis();
    // Floor division, so that times before the epoch round down as time() does.
    return static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
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

void ClockLocalNow(LocalTimeMs *out) {
    int64_t ms = NowMillis();
    time_t t = static_cast<time_t>(ms / 1000);
    struct tm tm;
    ClockLocal(t, &tm);
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
    out->millis = static_cast<int>(ms % 1000);
}
