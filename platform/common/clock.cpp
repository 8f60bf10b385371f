// clock.h on both platforms: the test clock in front of the system's
// (platform/common/clock_system.h) and the arithmetic on milliseconds.
// ClockLocal, the platform's local time, lives in posix/ and win32/.
#include "platform/clock.h"

#include <atomic>

#include "platform/clock_testing.h"
#include "platform/common/clock_system.h"

namespace {

std::atomic<const ClockOps *> hooks{nullptr};

int64_t NowMillis() {
    const ClockOps *ops = hooks.load(std::memory_order_acquire);
    return ops != nullptr && ops->millis != nullptr ? ops->millis() : SystemClockMillis();
}

}  // namespace

void ClockSetForTest(const ClockOps *ops) {
    hooks.store(ops, std::memory_order_release);
}

int64_t ClockMillis() {
    return NowMillis();
}

time_t ClockNow() {
    int64_t ms = NowMillis();
    // Floor division, so that times before the epoch round down as time() does.
    return static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
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
