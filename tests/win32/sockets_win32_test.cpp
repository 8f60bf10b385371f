// Winsock's services database, as the prefix or the machine has it.
#include <gtest/gtest.h>

#include "platform/sockets.h"

namespace {

TEST(SocketsWin32, SyslogIsUdpPort514) {
    ASSERT_EQ(SockStartup(), 0);
    uint16_t port = 0;
    ASSERT_EQ(SockServicePort("syslog", "udp", &port), 0);
    EXPECT_EQ(port, 0x0202);  // 514 in network byte order
    EXPECT_EQ(SockServicePort("no-such-service", "udp", &port), -1);
}

}  // namespace
