// The signal tests of both builds; the including file defines how a signal
// comes from outside (SendSignal) and a console event (Deliver).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "platform/console.h"
#include "platform/debugger_testing.h"
#include "platform/process.h"
#include "platform/signals.h"

namespace signaltest {

void SendSignal(int sig);
void Deliver(unsigned long event);

std::mutex mutex;
std::condition_variable changed;
std::vector<std::string> seen;
std::atomic<unsigned long> handler_thread{0};  // also read while a handler runs

void Record(const std::string &what) {
    std::lock_guard<std::mutex> guard(mutex);
    seen.push_back(what);
    handler_thread = ThreadId();
    changed.notify_all();
}

std::vector<std::string> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [n] { return seen.size() >= n; });
    std::vector<std::string> out = seen;
    seen.clear();
    return out;
}

void OnSignal(int sig) {
    Record("signal " + std::to_string(sig));
}
template <int kTakes>
int Console(unsigned long event) {
    Record((kTakes ? "first " : "second ") + std::to_string(event));
    return kTakes;
}

TEST(Signals, HandlersRunOnTheDispatchThreadAndConsoleEventsGoLastAddedFirst) {
    EXPECT_EQ(SignalSet(0, OnSignal) + SignalSet(NSIG, OnSignal), -2);
    ASSERT_EQ(SignalSet(SIGTERM, OnSignal), 0);
    for (int i = 0; i < 2; ++i) {  // the handler stays installed
        SendSignal(SIGTERM);
        EXPECT_EQ(WaitFor(1), std::vector<std::string>{"signal " + std::to_string(SIGTERM)});
        EXPECT_NE(handler_thread.load(), ThreadId());
    }
    ASSERT_EQ(ConsoleAddHandler(Console<1>) + ConsoleAddHandler(Console<0>), 0);
    // Ctrl+C is a console event until a SIGINT handler takes it alone.
    for (unsigned long event : {kCtrlBreakEvent, kCtrlCEvent}) {
        Deliver(event);
        std::string e = std::to_string(event);
        EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second " + e, "first " + e}));
    }
    ASSERT_EQ(SignalSet(SIGINT, OnSignal), 0);
    Deliver(kCtrlCEvent);
    EXPECT_EQ(WaitFor(1), std::vector<std::string>{"signal " + std::to_string(SIGINT)});
    EXPECT_NE(handler_thread.load(), ThreadId());
}

// The handler needs the trace lock, then ends the process with 100 + sig.
void TraceAndExit(int sig) {
    LogEvent(Trace, "fault %d\n", sig);
    ProcessExit(100 + sig);
}

// A fault while the faulting thread holds the trace lock, and one in a handler:
// the handler cannot run or finish, yet the process ends with 1 in seconds.
TEST(SignalsDeathTest, AFaultTheHandlerCannotFollowStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto under_trace_lock = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        LogSetMaskForTest(Trace);
        DebugOutputSetSink([](const char *) { std::raise(SIGSEGV); });
        LogEvent(Trace, "x\n");
    };
    auto on_dispatch_thread = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        SignalSet(SIGTERM, [](int) { std::raise(SIGSEGV); });
        SendSignal(SIGTERM);
        SleepMs(60000);
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(under_trace_lock(), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(on_dispatch_thread(), ::testing::ExitedWithCode(1), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(kFaultExitSeconds + 12));
}

}  // namespace signaltest
