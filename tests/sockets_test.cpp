// The socket seam: batched receiving with lengths and cuts, and Winsock's
// results for a closed socket, also when the close wakes a blocked wait.
#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(Sockets, DatagramsComeInOrderWithLengthsAndCutsUntilAClose) {
    ASSERT_EQ(SockStartup(), 0);
    SockHandle rx = SockUdp(), tx = SockUdp();
    SockAddrIn addr;
    ASSERT_TRUE(testutil::BindLoopback(rx, &addr));
    EXPECT_EQ(SockWaitReadable(rx, 10), 0);  // nothing there yet
    // More than one batch of the kernel's, of every kind of length.
    std::vector<std::string> sent;
    for (size_t i = 0; i < 75; ++i) {
        sent.push_back(std::string(i * 37 % 1500, static_cast<char>('a' + i % 26)));
        int len = static_cast<int>(sent[i].size());
        ASSERT_EQ(SockSend(tx, sent[i].data(), len, &addr), len);
    }
    for (const std::string &d : sent) {
        ASSERT_EQ(SockWaitReadable(rx, 10000), 1);
        char buf[1024];
        SockAddrIn from;
        int truncated = -1;
        size_t cut = std::min<size_t>(d.size(), sizeof buf);
        ASSERT_EQ(SockReceive(rx, buf, sizeof buf, &from, &truncated), static_cast<int>(cut));
        EXPECT_EQ(std::string(buf, cut), d.substr(0, cut));
        EXPECT_EQ(truncated, d.size() > sizeof buf ? 1 : 0) << d.size();
        EXPECT_EQ(from.family, kAfInet);
        EXPECT_EQ(from.addr, addr.addr);
    }
    EXPECT_EQ(SockWaitReadable(rx, 0), 0);
    SockClose(tx);

    // A close wakes a wait blocked on the socket with Winsock's result.
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
    EXPECT_TRUE(testsupport::WaitUntilThreadSleeps(tid, 10000));
    SockClose(rx);
    waiter.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, static_cast<unsigned long>(kWsaEnotsock));
    // Afterwards a wait fails at once, and a send with errno set.
    EXPECT_EQ(SockWaitReadable(rx, -1), -1);
    EXPECT_EQ(PlatformLastError(), static_cast<unsigned long>(kWsaEnotsock));
    errno = 0;
    EXPECT_EQ(SockSend(rx, "x", 1, &addr), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
