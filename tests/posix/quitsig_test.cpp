// The signal exit holds the engine lock until the process has ended.
#include <stdio.h>

#include <csignal>
#include <string>
#include <thread>

#include "platform/process.h"
#include "route_fixture.h"

namespace {

using SignalExit = routetest::RouteTest;

// Lines held when the exit comes go before its message; a busy thread
// neither keeps the exit from the lock nor writes after the message.
TEST_F(SignalExit, TheExitMessageIsTheLastLine) {
    const std::string exit = "Mar 07 10:00:00 loghost tarnwick: exiting on signal 15\r\n";
    AddFile("all");
    EXPECT_EXIT((EngineGuard(), logmsg(13, "gathered", "h1", 0), quitsig(SIGTERM)),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(routetest::ReadFile(Day("all")), "Mar 07 10:00:00 h1 gathered\r\n" + exit);
    EXPECT_EXIT(
        {
            flockfile(stdout);  // held by another thread than the exit's: its flush waits
            std::thread([] {
                // The lock is free only between two holds; the exit begins in the first.
                for (int i = 0;; ++i) {
                    EngineGuard hold;
                    logmsg(13, ("late " + std::to_string(i)).c_str(), "h1", 0);
                    if (i == 0) {
                        std::thread(quitsig, SIGTERM).detach();
                    }
                    SleepMs(2);
                }
            }).detach();
            SleepMs(300);
            funlockfile(stdout);
            SleepMs(10000);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(routetest::ReadFile(Day("all")).ends_with(exit)) << "a line after the exit";
}

}  // namespace
