#include "support/test_support.h"

#include <stdlib.h>
#include <time.h>

namespace testsupport {

void SetEnv(const char *name, const char *value) {
    setenv(name, value, 1);
}

void UnsetEnv(const char *name) {
    unsetenv(name);
}

void TzSet() {
    tzset();
}

int64_t TimeGm(struct tm *tm) {
    return static_cast<int64_t>(timegm(tm));
}

TimerCaps PlatformTimerCaps() {
    return TimerCaps{1, 1000000};
}

}  // namespace testsupport
