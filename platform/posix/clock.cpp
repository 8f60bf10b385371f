#include "platform/clock.h"

#include <sys/time.h>

#include <atomic>
#include <cstring>

#include "platform/clock_testing.h"

namespace {
std::atomic<ClockSource> clock_source{nullptr};

int64_t NowMillis() {
    ClockSource source = clock_source.load(std::memory_order_acquire);
    if (source != nullptr) {
        return source();
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
    if (localtime_r(&t, out) == nullptr) {
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
