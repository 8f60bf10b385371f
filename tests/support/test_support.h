// The test support seam: the few process services the tests need whose calls
// differ between platforms (environment, the runtime's time zone, UTC
// conversion), and the platform's own values a test pins.  One file per
// platform behind it (support/posix/, support/win32/), chosen by the build,
// so that the tests themselves stay free of platform conditionals.
//
// Not thread-safe: call from the test's own thread, before the threads that
// read the environment or the local time start.
#pragma once

#include <cstdint>
#include <ctime>

#include "platform/mmtimer.h"

namespace testsupport {

// Sets (replacing) or removes an environment variable of the process.
void SetEnv(const char *name, const char *value);
void UnsetEnv(const char *name);

// Makes the runtime library read TZ again for its local time (tzset).
void TzSet();

// Seconds since the epoch of a broken-down UTC time (timegm).
int64_t TimeGm(struct tm *tm);

// Waits until thread tid of this process sleeps in a blocking call, at most
// timeout_ms.  Returns true when it does.  POSIX: the thread's state in
// /proc.  Windows gives no such view of a thread: after a pause of 100 ms it
// answers true (the tests that ask give the same result either way).
bool WaitUntilThreadSleeps(unsigned long tid, int timeout_ms);

// The range the platform's own timer service reports when no test range is
// set: the POSIX stand-in's documented 1 to 1,000,000 ms, or what winmm's
// timeGetDevCaps gives on Windows.
TimerCaps PlatformTimerCaps();

}  // namespace testsupport
