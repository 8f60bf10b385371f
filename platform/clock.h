// The clock: the time of day in whole seconds and the local calendar time.
//
// All engine, timer and trace code reads time through these calls, so that
// tests can drive a clock of their own (clock_testing.h).  Local time follows
// the platform's time zone (TZ on POSIX, as localtime_r does).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds since the epoch: the standard library's time(nullptr), or the test
// clock's value.
time_t ClockNow();

// Milliseconds since the epoch, from the same source as ClockNow.
int64_t ClockMillis();

// Local broken-down time of t.  Returns 0, or -1 when t cannot be converted
// (then *out is zero-filled).
int ClockLocal(time_t t, struct tm *out);

// Local time of now with milliseconds, as GetLocalTime gives it.
struct LocalTimeMs {
    int year;    // full year, e.g. 1999
    int month;   // 1 to 12
    int day;     // 1 to 31
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 60
    int millis;  // 0 to 999
};
void ClockLocalNow(LocalTimeMs *out);
