// The engine's orderly stop, with targets built by hand.
#include "platform/sockets.h"
#include "route_fixture.h"
#include "timer/vtm_driver_testing.h"

namespace {

using Stop = routetest::RouteTest;

// The pending repeat lines are written before the socket closes; once closed
// the engine keeps no number of it, which the next file opened may be given.
TEST_F(Stop, WritesPendingRepeatsAndForgetsTheSocket) {
    AddFile("all");
    for (int i = 0; i < 3; ++i) {
        logmsg(13, "same", "h1", 0);
    }
    engine.logsock = SockUdp();
    ASSERT_NE(engine.logsock.load(), kInvalidSocket);
    stopdaemon();
    TimerPoolResetForTest();
    EXPECT_EQ(engine.stoprequested.load(), 1);
    EXPECT_EQ(engine.logsock.load(), kInvalidSocket);
    EXPECT_EQ(routetest::ReadFile(Day("all")),
              "Mar 07 10:00:00 h1 same\r\nMar 07 10:00:00 h1 last message repeated 2 times\r\n");
}

}  // namespace
