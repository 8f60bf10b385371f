#include "test_util.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace testsupport {

void SetEnv(const char *name, const char *value) {
    _putenv_s(name, value);
}

void UnsetEnv(const char *name) {
    // An empty value removes the variable from the runtime's environment.
    _putenv_s(name, "");
}

void TzSet() {
    _tzset();
}

int64_t TimeGm(struct tm *tm) {
    return static_cast<int64_t>(_mkgmtime(tm));
}

bool WaitUntilThreadSleeps(unsigned long, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}

TimerCaps PlatformTimerCaps() {
    // Asked of winmm directly, not through the layer under test.
    TIMECAPS tc = {};
    timeGetDevCaps(&tc, sizeof tc);
    return TimerCaps{tc.wPeriodMin, tc.wPeriodMax};
}

}  // namespace testsupport
