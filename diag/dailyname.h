// The daily file name of a log or trace file: path, underscore, local date,
// ".LOG" ("messages_20240307.LOG").
//
// Thread-safe: no state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

// Room for a daily file name: a path of up to 199 characters, the date part
// and the terminator, with space to spare.
constexpr size_t DAILYNAME_SIZE = 256;

// base's daily file name for the local date in tm, into out (DAILYNAME_SIZE
// bytes, cut to fit).
inline void DailyFileName(const char *base, const struct tm &tm, char *out) {
    std::snprintf(out, DAILYNAME_SIZE, "%s_%04d%02d%02d.LOG", base, tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday);
}
