// The signal exit holds the engine lock until the process has ended.  POSIX
// only for the means (a stream held with flockfile holds up the exit's flush
// of every stream); the code under test is the same on Windows.
#include <stdio.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

#include "platform/process.h"
#include "route_fixture.h"

namespace {

class SignalExit : public routetest::RouteTest {};

// A thread that waits to log meanwhile writes nothing after the exit message.
TEST_F(SignalExit, NothingIsLoggedAfterTheExitMessage) {
    AddFile("all");
    EXPECT_EXIT(
        {
            std::atomic<bool> held{false};
            std::thread([&held] {
                flockfile(stdout);
                held = true;
                SleepMs(300);
                funlockfile(stdout);
            }).detach();
            while (!held) {
                SleepMs(1);
            }
            std::thread([] {
                for (int i = 0;; ++i) {
                    logmsg(13, ("late " + std::to_string(i)).c_str(), "h1", 0);
                }
            }).detach();
            quitsig(SIGTERM);
        },
        ::testing::ExitedWithCode(0), "");
    std::string file = routetest::ReadFile(Day("all"));
    const std::string last = " tarnwick: exiting on signal 15\r\n";
    EXPECT_EQ(file.rfind(last), file.size() - last.size()) << "a line after the exit message";
}

// Lines gathered in the hold the exit comes in are written before it.
TEST_F(SignalExit, TheLinesOfTheHoldAreWrittenBeforeTheExitMessage) {
    AddFile("all");
    EXPECT_EXIT(
        {
            EngineGuard batch;
            logmsg(13, "gathered", "h1", 0);
            quitsig(SIGTERM);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(routetest::ReadFile(Day("all")),
              "Mar 07 10:00:00 h1 gathered\r\nMar 07 10:00:00 loghost tarnwick: exiting on signal "
              "15\r\n");
}

}  // namespace
