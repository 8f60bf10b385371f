#include "test_util.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

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

namespace {

// The state letter of a thread of this process ('S' while it sleeps).
char ThreadState(unsigned long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

}  // namespace

bool WaitUntilThreadSleeps(unsigned long tid, int timeout_ms) {
    for (int i = 0; i < timeout_ms && ThreadState(tid) != 'S'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ThreadState(tid) == 'S';
}

TimerCaps PlatformTimerCaps() {
    return TimerCaps{1, 1000000};
}

}  // namespace testsupport
