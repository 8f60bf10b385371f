// The datagram sockets with Winsock's results, on the loopback interface.
#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007f;  // 127.0.0.1, network byte order

uint16_t NetOrder(uint16_t port) {
    return static_cast<uint16_t>((port >> 8) | (port << 8));
}

class Sockets : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(SockStartup(), 0); }
    void TearDown() override {
        for (SockHandle s : open_) {
            SockClose(s);
        }
    }

    // A socket bound to 127.0.0.1 on a free high port, probed from one that
    // depends on the process id; *addr gets its address.
    SockHandle Bound(SockAddrIn *addr) {
        SockHandle s = Open();
        *addr = {};
        addr->family = kAfInet;
        addr->addr = kLoopback;
        uint16_t base = static_cast<uint16_t>(30000 + ProcessId() % 20000);
        for (int i = 0; i < 500; ++i) {
            addr->port = NetOrder(static_cast<uint16_t>(base + i));
            if (SockBind(s, addr) == 0) {
                return s;
            }
        }
        ADD_FAILURE() << "no free port";
        return s;
    }
    SockHandle Open() {
        SockHandle s = SockUdp();
        EXPECT_NE(s, kInvalidSocket);
        open_.push_back(s);
        return s;
    }
    // Closes s here rather than at the end.
    int Close(SockHandle s) {
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (*it == s) {
                open_.erase(it);
                break;
            }
        }
        return SockClose(s);
    }

    std::vector<SockHandle> open_;
};

TEST_F(Sockets, ADatagramLongerThanTheBufferIsCutAndFlagged) {
    SockAddrIn to, from_addr;
    SockHandle receiver = Bound(&to);
    SockHandle sender = Bound(&from_addr);
    std::string text(1500, 'x');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    // On the loopback interface a datagram is there once the send returns.
    ASSERT_EQ(SockSend(sender, text.data(), static_cast<int>(text.size()), &to), 1500);
    char buf[1024];
    SockAddrIn from;
    int truncated = -1;
    EXPECT_EQ(SockReceive(receiver, buf, sizeof buf, &from, &truncated), 1024);
    EXPECT_EQ(truncated, 1);
    EXPECT_EQ(std::string(buf, sizeof buf), text.substr(0, 1024));
    EXPECT_EQ(from.family, kAfInet);
    EXPECT_EQ(from.addr, kLoopback);
    EXPECT_EQ(from.port, from_addr.port);

    // The next datagram is whole again; an empty one is 0 bytes.
    ASSERT_EQ(SockSend(sender, "short", 5, &to), 5);
    ASSERT_EQ(SockSend(sender, "", 0, &to), 0);
    EXPECT_EQ(SockReceive(receiver, buf, sizeof buf, &from, &truncated), 5);
    EXPECT_EQ(truncated, 0);
    EXPECT_EQ(std::string(buf, 5), "short");
    EXPECT_EQ(SockReceive(receiver, buf, sizeof buf, &from, &truncated), 0);
    EXPECT_EQ(truncated, 0);
}

TEST_F(Sockets, ATakenPortIsAddressInUse) {
    SockAddrIn addr;
    Bound(&addr);
    SockHandle second = Open();
    SetLastError(0);
    EXPECT_EQ(SockBind(second, &addr), -1);
    EXPECT_EQ(LastError(), static_cast<unsigned long>(kWsaEaddrinuse));
}

TEST_F(Sockets, ClosingWakesAWaitingThread) {
    SockAddrIn addr;
    SockHandle s = Bound(&addr);
    std::promise<std::pair<int, unsigned long>> result;
    std::future<std::pair<int, unsigned long>> waited = result.get_future();
    std::thread waiter([&result, s] {
        int n = SockWaitReadable(s);
        result.set_value({n, LastError()});
    });
    // Give the waiter time to block (the result is the same if it has not).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Close(s), 0);
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    waiter.join();
    std::pair<int, unsigned long> got = waited.get();
    EXPECT_EQ(got.first, -1);
    EXPECT_EQ(got.second, static_cast<unsigned long>(kWsaEnotsock));

    // A wait on a socket closed before it fails alike.
    SetLastError(0);
    EXPECT_EQ(SockWaitReadable(s), -1);
    EXPECT_EQ(LastError(), static_cast<unsigned long>(kWsaEnotsock));
    SetLastError(0);
    EXPECT_EQ(SockWaitReadable(kInvalidSocket), -1);
    EXPECT_EQ(LastError(), static_cast<unsigned long>(kWsaEnotsock));
}

TEST_F(Sockets, ASendOnAClosedSocketSetsErrno) {
    SockAddrIn to;
    Bound(&to);
    SockHandle s = Open();
    ASSERT_EQ(Close(s), 0);
    errno = 0;
    EXPECT_EQ(SockSend(s, "x", 1, &to), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(LastError(), 0u);
}

TEST_F(Sockets, AddressTextIsTheDottedQuad) {
    char out[16];
    EXPECT_STREQ(SockAddrText(kLoopback, out), "127.0.0.1");
    EXPECT_STREQ(SockAddrText(0, out), "0.0.0.0");
    EXPECT_STREQ(SockAddrText(0xFFFFFFFFu, out), "255.255.255.255");
    EXPECT_STREQ(SockAddrText(0x0A01A8C0u, out), "192.168.1.10");
}

}  // namespace
