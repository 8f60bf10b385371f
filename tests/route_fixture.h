// Shared fixture of the routing, output and mark tick tests: a hand-driven
// clock in UTC, a temporary directory, caught trace lines, and rule targets
// built by hand and linked into engine.targets.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/clock_testing.h"
#include "platform/debugger_testing.h"
#include "platform/textfile.h"
#include "test_util.h"

namespace routetest {

// 2024-03-07 10:00:00 UTC.
constexpr time_t kT0 = 1709805600;

inline int64_t &NowMs() {
    static int64_t now_ms = 0;
    return now_ms;
}
inline int64_t TestClock() {
    return NowMs();
}
inline void SetNow(time_t seconds) {
    NowMs() = static_cast<int64_t>(seconds) * 1000;
}

inline std::vector<std::string> &Lines() {
    static std::vector<std::string> lines;
    return lines;
}
// Keeps the text of a trace line, without its "%03X> Trace   : " prefix.
inline void CatchLine(const char *text) {
    std::string line(text);
    size_t at = line.find("> ");
    Lines().push_back(at == std::string::npos ? line : line.substr(at + 2 + 8 + 2));
}
inline int CountLines(const std::string &text) {
    int n = 0;
    for (const std::string &line : Lines()) {
        n += line == text ? 1 : 0;
    }
    return n;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class RouteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        saved_tz_ = had_tz_ ? tz : "";
        testsupport::SetEnv("TZ", "UTC");
        testsupport::TzSet();
        EngineResetForTest();
        SetNow(kT0);
        static const ClockOps kTestClockOps = {TestClock};
        ClockSetForTest(&kTestClockOps);
        Lines().clear();
        DebugOutputSetSink(CatchLine);
        LogSetMaskForTest(Trace);
        std::snprintf(engine.myhostname, sizeof engine.myhostname, "loghost");
        dir_ = testutil::MakeTempDir("tarnwick_route_");
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        if (engine.logsock != kInvalidSocket) {
            SockClose(engine.logsock);
        }
        EngineResetForTest();
        LogResetForTest();
        DebugOutputSetSink(nullptr);
        ClockSetForTest(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        if (had_tz_) {
            testsupport::SetEnv("TZ", saved_tz_.c_str());
        } else {
            testsupport::UnsetEnv("TZ");
        }
        testsupport::TzSet();
    }

    // A zero-filled target that selects nothing, linked at the end of the list.
    LogTarget *Add(TargetKind kind) {
        LogTarget *t = new LogTarget();
        std::memset(t->levels, NOLEVEL, sizeof t->levels);
        t->kind = kind;
        t->fd = -1;
        LogTarget **tail = &engine.targets;
        while (*tail != nullptr) {
            tail = &(*tail)->next;
        }
        *tail = t;
        engine.rulesready = 1;
        return t;
    }
    // A FILE target for dir/name selecting every facility 0 to 24 at level.
    LogTarget *AddFile(const std::string &name, int level = 7) {
        LogTarget *t = Add(TargetKind::FILE);
        std::memset(t->levels, level, sizeof t->levels);
        std::snprintf(t->dest.filename, sizeof t->dest.filename, "%s", Path(name).c_str());
        return t;
    }
    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    // The daily file of dir/name on 7 March 2024.
    std::string Day(const std::string &name) const { return Path(name) + "_20240307.LOG"; }

    std::string dir_;
    bool had_tz_ = false;
    std::string saved_tz_;
};

}  // namespace routetest
