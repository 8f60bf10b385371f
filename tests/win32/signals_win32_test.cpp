// Signals and console events on Windows: handlers run on the dispatch
// thread; a faulting thread waits while its handler ends the process; Ctrl+C
// goes to the SIGINT handler before any console handler.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "platform/console.h"
#include "platform/debugger_testing.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/win32/console_testing.h"

namespace {

std::mutex seen_lock;
std::condition_variable seen_changed;
std::vector<std::string> seen;
unsigned long handler_thread = 0;

void Record(const std::string &what) {
    std::lock_guard<std::mutex> guard(seen_lock);
    seen.push_back(what);
    handler_thread = ThreadId();
    seen_changed.notify_all();
}

// Waits until n events have been seen; returns them and forgets them.
std::vector<std::string> WaitFor(size_t n) {
    std::unique_lock<std::mutex> hold(seen_lock);
    seen_changed.wait_for(hold, std::chrono::seconds(10), [n] { return seen.size() >= n; });
    std::vector<std::string> out = seen;
    seen.clear();
    return out;
}

void OnSignal(int sig) {
    Record("signal " + std::to_string(sig));
}

TEST(SignalsWin32, RaisedSignalsRunOnTheDispatchThreadEveryTime) {
    EXPECT_EQ(SignalSet(SIGBREAK, OnSignal), -1);
    EXPECT_EQ(SignalSet(0, OnSignal), -1);
    ASSERT_EQ(SignalSet(SIGTERM, OnSignal), 0);
    // raise() calls the runtime's handler in this thread, which resets the
    // signal to its default first: the second raise would end the process
    // if the handler were not installed again.
    std::raise(SIGTERM);
    std::raise(SIGTERM);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"signal 15", "signal 15"}));
    EXPECT_NE(handler_thread, ThreadId());
}

int first_result = 1;
int second_result = 0;
int FirstConsole(unsigned long event) {
    Record("first " + std::to_string(event));
    return first_result;
}
int SecondConsole(unsigned long event) {
    Record("second " + std::to_string(event));
    return second_result;
}

TEST(SignalsWin32, ConsoleEventsGoLastAddedFirstAndCtrlCToSigint) {
    ASSERT_EQ(ConsoleAddHandler(FirstConsole), 0);
    ASSERT_EQ(ConsoleAddHandler(SecondConsole), 0);

    // Ctrl+Break: the last added declines, the first takes it, on the
    // delivering thread.
    EXPECT_EQ(ConsoleEventForTest(kCtrlBreakEvent), 1);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second 1", "first 1"}));
    EXPECT_EQ(handler_thread, ThreadId());

    // Before a SIGINT handler, Ctrl+C is a console event too.
    EXPECT_EQ(ConsoleEventForTest(kCtrlCEvent), 1);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second 0", "first 0"}));

    // Nobody takes a close: the default handling follows.
    first_result = 0;
    EXPECT_EQ(ConsoleEventForTest(kCtrlCloseEvent), 0);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second 2", "first 2"}));
    first_result = 1;

    // With a SIGINT handler, Ctrl+C reaches it alone, on the dispatch thread.
    ASSERT_EQ(SignalSet(SIGINT, OnSignal), 0);
    EXPECT_EQ(ConsoleEventForTest(kCtrlCEvent), 1);
    EXPECT_EQ(WaitFor(1), std::vector<std::string>{"signal 2"});
    EXPECT_NE(handler_thread, ThreadId());
    // Ctrl+Break still goes to the console handlers.
    EXPECT_EQ(ConsoleEventForTest(kCtrlBreakEvent), 1);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second 1", "first 1"}));
}

// Each fault ends the process through its handler (100 + the signal), also
// on a thread other than the main one.
void ExitWith(int sig) {
    ProcessExit(100 + sig);
}

TEST(SignalsWin32DeathTest, FaultsEndThroughTheHandler) {
    using FaultFn = void (*)();
    const struct {
        int sig;
        FaultFn fault;
    } cases[] = {
        {SIGSEGV,
         [] {
             volatile int *volatile nowhere = nullptr;
             *nowhere = 1;
         }},
        {SIGFPE,
         [] {
             // Both unknown to the compiler, so that it emits the division.
             volatile int seven = 7, zero = 0;
             volatile int result = seven / zero;
             (void)result;
         }},
        {SIGILL, [] { __builtin_trap(); }},
        {SIGABRT, [] { std::abort(); }},
    };
    for (const auto &c : cases) {
        auto run = [&c] {
            SignalSet(c.sig, ExitWith);
            c.fault();
        };
        EXPECT_EXIT(run(), ::testing::ExitedWithCode(100 + c.sig), "") << c.sig;
    }
    auto on_a_thread = [&cases] {
        SignalSet(SIGSEGV, ExitWith);
        std::thread(cases[0].fault).join();
    };
    EXPECT_EXIT(on_a_thread(), ::testing::ExitedWithCode(100 + SIGSEGV), "");
}

// A fault while the faulting thread holds the trace lock (in a trace line's
// output) and one on the dispatch thread (in a handler): the handler cannot
// run or finish, and the process still ends with 1 within a few seconds.
void TraceAndExit(int sig) {
    LogEvent(Trace, "fault %d\n", sig);
    ProcessExit(100 + sig);
}
void Fault(const char *) {
    volatile int *volatile nowhere = nullptr;
    *nowhere = 1;
}

TEST(SignalsWin32DeathTest, AFaultTheHandlerCannotFollowStillEndsTheProcess) {
    auto under_trace_lock = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        LogSetMaskForTest(Trace);
        DebugOutputSetSink(Fault);
        LogEvent(Trace, "x\n");
    };
    auto on_dispatch_thread = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        SignalSet(SIGTERM, [](int) { Fault(nullptr); });
        std::raise(SIGTERM);
        for (;;) {
            SleepMs(1000);
        }
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(under_trace_lock(), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(on_dispatch_thread(), ::testing::ExitedWithCode(1), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(kFaultExitSeconds + 12));
}

}  // namespace
