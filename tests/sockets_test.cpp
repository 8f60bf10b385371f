// The socket seam: Winsock results over BSD sockets, batched receiving, the
// wake-up of a blocked wait by a close.
#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"
#include "test_util.h"

namespace {

class Sockets : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SockStartup(), 0);
        rx = SockUdp();
        tx = SockUdp();
        ASSERT_NE(rx, kInvalidSocket);
        ASSERT_NE(tx, kInvalidSocket);
        ASSERT_TRUE(testutil::BindLoopback(rx, &addr));
    }
    void TearDown() override {
        SockClose(tx);
        if (rx != kInvalidSocket) {
            SockClose(rx);
        }
    }
    SockHandle rx = kInvalidSocket;
    SockHandle tx = kInvalidSocket;
    SockAddrIn addr;
};

TEST_F(Sockets, DatagramsComeOneByOneInOrderWithLengthsAndCuts) {
    // More than one batch of the kernel's, of every kind of length.
    std::vector<std::string> sent;
    for (int i = 0; i < 75; ++i) {
        sent.push_back(
            std::string(static_cast<size_t>(i * 37 % 1500), static_cast<char>('a' + i % 26)));
    }
    sent[3] = "";
    // Nothing there yet: a wait with a time-out ends with 0.
    EXPECT_EQ(SockWaitReadable(rx, 10), 0);
    for (const std::string &d : sent) {
        ASSERT_EQ(SockSend(tx, d.data(), static_cast<int>(d.size()), &addr),
                  static_cast<int>(d.size()));
    }
    for (const std::string &d : sent) {
        ASSERT_EQ(SockWaitReadable(rx, 10000), 1);
        char buf[1025];
        SockAddrIn from;
        int truncated = -1;
        int n = SockReceive(rx, buf, 1024, &from, &truncated);
        size_t expect = d.size() < 1024 ? d.size() : 1024;
        ASSERT_EQ(n, static_cast<int>(expect));
        EXPECT_EQ(std::string(buf, expect), d.substr(0, expect));
        EXPECT_EQ(truncated, d.size() > 1024 ? 1 : 0) << d.size();
        EXPECT_EQ(from.family, kAfInet);
        EXPECT_EQ(from.addr, addr.addr);
    }
    EXPECT_EQ(SockWaitReadable(rx, 0), 0);
}

TEST_F(Sockets, CloseWakesAWaitBlockedInSelect) {
    std::atomic<unsigned long> tid{0};
    int result = 0;
    unsigned long error = 0;
    std::thread waiter([&] {
        tid = ThreadId();
        result = SockWaitReadable(rx, -1);
        error = PlatformLastError();
    });
    // Close only once the waiter sleeps in its wait (bounded: 10 s).
    for (int i = 0; i < 10000 && tid == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(testsupport::WaitUntilThreadSleeps(tid, 10000));
    SockClose(rx);
    waiter.join();
    rx = kInvalidSocket;
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, static_cast<unsigned long>(kWsaEnotsock));
}

TEST_F(Sockets, WaitOnAClosedSocketFailsAtOnce) {
    SockClose(rx);
    EXPECT_EQ(SockWaitReadable(rx, -1), -1);
    EXPECT_EQ(PlatformLastError(), static_cast<unsigned long>(kWsaEnotsock));
    rx = kInvalidSocket;
    // Another socket still waits and receives normally.
    SockHandle again = SockUdp();
    ASSERT_TRUE(testutil::BindLoopback(again, &addr));
    ASSERT_EQ(SockSend(tx, "x", 1, &addr), 1);
    EXPECT_EQ(SockWaitReadable(again, -1), 1);
    SockClose(again);
}

TEST_F(Sockets, TakenPortGivesTheWinsockNumber) {
    SockHandle other = SockUdp();
    ASSERT_NE(other, kInvalidSocket);
    EXPECT_EQ(SockBind(other, &addr), -1);
    EXPECT_EQ(PlatformLastError(), static_cast<unsigned long>(kWsaEaddrinuse));
    SockClose(other);
}

TEST_F(Sockets, TheSenderIsTheSendingSocket) {
    SockAddrIn from_addr;
    SockHandle sender = SockUdp();
    ASSERT_TRUE(testutil::BindLoopback(sender, &from_addr));
    ASSERT_EQ(SockSend(sender, "who", 3, &addr), 3);
    char buf[16];
    SockAddrIn from;
    int truncated = -1;
    ASSERT_EQ(SockReceive(rx, buf, sizeof buf, &from, &truncated), 3);
    EXPECT_EQ(from.family, kAfInet);
    EXPECT_EQ(from.addr, from_addr.addr);
    EXPECT_EQ(from.port, from_addr.port);
    SockClose(sender);
}

TEST_F(Sockets, ASendOnAClosedSocketSetsErrno) {
    SockHandle s = SockUdp();
    ASSERT_NE(s, kInvalidSocket);
    ASSERT_EQ(SockClose(s), 0);
    errno = 0;
    PlatformSetLastError(0);
    EXPECT_EQ(SockSend(s, "x", 1, &addr), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(PlatformLastError(), 0u);
}

TEST_F(Sockets, ServicesDatabaseAndDottedQuads) {
    uint16_t port = 0;
    ASSERT_EQ(SockServicePort("syslog", "udp", &port), 0);
    EXPECT_EQ(port, (514 >> 8) | ((514 & 0xFF) << 8));
    EXPECT_EQ(SockServicePort("no-such-service", "udp", &port), -1);
    char text[16];
    EXPECT_STREQ(SockAddrText(0x0100007Fu, text), "127.0.0.1");
    EXPECT_STREQ(SockAddrText(0xFFFFFFFFu, text), "255.255.255.255");
    EXPECT_STREQ(SockAddrText(0, text), "0.0.0.0");
    EXPECT_STREQ(SockAddrText(0x0A01A8C0u, text), "192.168.1.10");
}

}  // namespace
