// The socket seam: batched receiving with lengths and cuts.
#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_util.h"

namespace {

TEST(Sockets, DatagramsComeInOrderWithLengthsAndCuts) {
    ASSERT_EQ(SockStartup(), 0);
    SockHandle rx = SockUdp(), tx = SockUdp();
    SockAddrIn addr;
    ASSERT_TRUE(testutil::BindLoopback(rx, &addr));
    // More than one batch of the kernel's, of every kind of length.
    auto datagram = [](int i) {
        return std::string(i * 37 % 1500, static_cast<char>('a' + i % 26));
    };
    for (int i = 0; i < 75; ++i) {
        int len = static_cast<int>(datagram(i).size());
        ASSERT_EQ(SockSend(tx, datagram(i).data(), len, &addr), len);
    }
    for (int i = 0; i < 75; ++i) {
        ASSERT_EQ(SockWaitReadable(rx, 10000), 1);
        char buf[1024];
        SockAddrIn from;
        int truncated = -1, cut = std::min<int>(static_cast<int>(datagram(i).size()), sizeof buf);
        ASSERT_EQ(SockReceive(rx, buf, sizeof buf, &from, &truncated), cut);
        EXPECT_EQ(std::string(buf, cut), datagram(i).substr(0, cut));
        EXPECT_EQ(truncated, datagram(i).size() > sizeof buf ? 1 : 0) << i;
        EXPECT_EQ(from.addr, addr.addr);
    }
    EXPECT_EQ(SockWaitReadable(rx, 0), 0);  // all taken
    SockClose(tx);
    SockClose(rx);
}

}  // namespace
