// Signals and console events reach their handlers on the dispatch thread.
#include "platform/signals.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "platform/console.h"
#include "platform/debugger_testing.h"
#include "platform/process.h"

namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<std::string> seen;
std::atomic<unsigned long> handler_thread{0};
std::atomic<int> second_handler_result{0};

void Record(const std::string &what) {
    std::lock_guard<std::mutex> guard(mutex);
    seen.push_back(what);
    handler_thread = ThreadId();
    changed.notify_all();
}

void OnSignal(int sig) {
    Record("signal " + std::to_string(sig));
}
int FirstConsole(unsigned long event) {
    Record("first " + std::to_string(event));
    return 1;
}
int SecondConsole(unsigned long event) {
    Record("second " + std::to_string(event));
    return second_handler_result;
}

// Waits until n events have been seen; returns them.
std::vector<std::string> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return seen.size() >= n; });
    std::vector<std::string> out = seen;
    seen.clear();
    return out;
}

TEST(Signals, HandlersRunOnTheDispatchThreadAndConsoleEventsGoLastAddedFirst) {
    EXPECT_EQ(SignalSet(SIGKILL, OnSignal), -1);  // cannot be caught
    EXPECT_EQ(SignalSet(0, OnSignal), -1);
    ASSERT_EQ(SignalSet(SIGTERM, OnSignal), 0);
    kill(getpid(), SIGTERM);
    EXPECT_EQ(WaitFor(1), std::vector<std::string>{"signal " + std::to_string(SIGTERM)});
    EXPECT_NE(handler_thread, ThreadId());

    ASSERT_EQ(ConsoleAddHandler(FirstConsole), 0);
    ASSERT_EQ(ConsoleAddHandler(SecondConsole), 0);
    // Ctrl+\ stands for Ctrl+Break: the last added handler declines, the
    // first takes it.
    second_handler_result = 0;
    kill(getpid(), SIGQUIT);
    EXPECT_EQ(WaitFor(2), (std::vector<std::string>{"second 1", "first 1"}));
    // Ctrl+C goes to the console handlers until a SIGINT handler is set.
    second_handler_result = 1;
    kill(getpid(), SIGINT);
    EXPECT_EQ(WaitFor(1), std::vector<std::string>{"second 0"});
    ASSERT_EQ(SignalSet(SIGINT, OnSignal), 0);
    kill(getpid(), SIGINT);
    EXPECT_EQ(WaitFor(1), std::vector<std::string>{"signal " + std::to_string(SIGINT)});
}

// The fault tests' handler needs the trace lock, then ends the process with
// 100 + the signal.
void TraceAndExit(int sig) {
    LogEvent(Trace, "fault %d\n", sig);
    ProcessExit(100 + sig);
}
// A fault of the calling thread, as the sanitizers let it through.
void Fault(const char *) {
    raise(SIGSEGV);
}

// A fault while the faulting thread holds the trace lock (in a trace line's
// output) and one on the dispatch thread (in a handler): the handler cannot
// run or finish, and the process still ends with 1 within a few seconds.
TEST(SignalsDeathTest, AFaultTheHandlerCannotFollowStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto under_trace_lock = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        LogSetMaskForTest(Trace);
        DebugOutputSetSink(Fault);
        LogEvent(Trace, "x\n");
    };
    auto on_dispatch_thread = [] {
        SignalSet(SIGSEGV, TraceAndExit);
        SignalSet(SIGTERM, [](int) { Fault(nullptr); });
        kill(getpid(), SIGTERM);
        for (;;) {
            SleepMs(1000);
        }
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(under_trace_lock(), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(on_dispatch_thread(), ::testing::ExitedWithCode(1), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(kFaultExitSeconds + 5));
}

}  // namespace
