// Routing, output and mark tests: local time in UTC, a hand-set clock, caught
// trace lines, a scratch directory, rule targets built by hand.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "diag/debug.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "test_util.h"

namespace routetest {

// 2024-03-07 10:00:00 UTC.
constexpr time_t kT0 = 1709805600;

using testutil::ReadFile;

// The running fixture's clock.
inline testutil::ManualClock *&Clock() {
    static testutil::ManualClock *clock = nullptr;
    return clock;
}
inline void SetNow(time_t seconds) {
    Clock()->Set(static_cast<int64_t>(seconds) * 1000);
}

class RouteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        Clock() = &clock_;
        std::snprintf(engine.myhostname, sizeof engine.myhostname, "loghost");
        ASSERT_FALSE(dir_.path().empty());
    }
    void TearDown() override {
        EngineResetForTest();
        Clock() = nullptr;
    }

    // A target at the end of the list selecting level (7: all) of every facility.
    LogTarget *Add(TargetKind kind, uint8_t level = NOLEVEL, const std::string &name = "") {
        LogTarget *t = new LogTarget();
        std::memset(t->levels, level, sizeof t->levels);
        t->kind = kind;
        t->fd = -1;
        std::snprintf(t->dest.filename, sizeof t->dest.filename, "%s", name.c_str());
        LogTarget **tail = &engine.targets;
        while (*tail != nullptr) {
            tail = &(*tail)->next;
        }
        *tail = t;
        engine.rulesready = 1;
        return t;
    }
    // A FILE target for dir/name.
    LogTarget *AddFile(const std::string &name, uint8_t level = 7) {
        return Add(TargetKind::FILE, level, Path(name));
    }
    std::string Path(const std::string &name) const { return dir_ / name; }
    // The daily file of dir/name on 7 March 2024.
    std::string Day(const std::string &name) const { return Path(name) + "_20240307.LOG"; }

    testutil::UtcZone utc_;
    testutil::ManualClock clock_{static_cast<int64_t>(kT0) * 1000};
    testutil::TraceCatcher trace_{Trace};
    testutil::TempDir dir_;
};

}  // namespace routetest
