// Decoding (takeline) and sender names: the cache, and datagrams waiting for a name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "diag/debug.h"
#include "engine/names_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/resolver_testing.h"
#include "test_util.h"

namespace {

// The name service on the resolver threads: a name, none, or kHeld (waits for the next).
const char *const kHeld = "(held)";
std::mutex fake_lock;
std::condition_variable fake_cv;
std::map<uint32_t, std::string> known;
std::atomic<size_t> asked{0};

int FakeResolve(uint32_t addr, char *name, size_t size) {
    std::unique_lock<std::mutex> guard(fake_lock);
    ++asked;
    fake_cv.wait(guard, [addr] { return known.count(addr) == 0 || known[addr] != kHeld; });
    if (known.count(addr) == 0) {
        return -1;
    }
    std::snprintf(name, size, "%s", known[addr].c_str());
    return 0;
}
const ResolverOps kFakeResolver = {FakeResolve, nullptr};

// The answer for addr from now on (nullptr: none).
void Know(uint32_t addr, const char *name) {
    std::lock_guard<std::mutex> guard(fake_lock);
    name != nullptr ? void(known[addr] = name) : void(known.erase(addr));
    fake_cv.notify_all();
}

uint32_t Ip(int d) {
    const uint8_t bytes[4] = {10, 0, 0, static_cast<uint8_t>(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

using Lines = std::vector<std::string>;

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        ResolverSetForTest(&kFakeResolver);
        NamesResetForTest();
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(fake_lock);
            known.clear();  // a held look-up answers none
            fake_cv.notify_all();
        }
        NamesResetForTest();
        asked = 0;
        ResolverSetForTest(nullptr);
    }

    void Receive(uint32_t addr, const std::string &text, uint16_t family = kAfInet) {
        SockAddrIn from = {family, 0, addr, {}};
        ReceiveDatagram(&from, text.c_str());
    }
    // What reached logmsg since the last call, as "from: msg", once the look-ups end.
    Lines Logged(int wait_ms = 10000) {
        NamesIdleForTest(wait_ms);
        Lines out;
        for (const std::string &t : traces_.Texts()) {
            size_t from = t.find(", from "), msg = t.find(", msg ");
            if (t.rfind("logmsg: ", 0) == 0) {
                out.push_back(t.substr(from + 7, msg - from - 7) + ": " +
                              t.substr(msg + 6, t.size() - msg - 7));
            }
        }
        traces_.Clear();
        return out;
    }
    // The name one datagram from addr is logged under.
    std::string Name(uint32_t addr, uint16_t family = kAfInet) {
        Receive(addr, "x", family);
        Lines logged = Logged();
        return logged.size() == 1 ? logged[0].substr(0, logged[0].size() - 3) : "?";
    }

    testutil::ManualClock clock_{1000000000};
    testutil::TraceCatcher traces_{Trace};
};

TEST_F(DecodeTest, TakelineDecodesPriorityAndText) {
    const std::string a1023(1023, 'a');
    // The priority in octal, as traced; 1024 characters, a form begun at 1023 completes.
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"hello", "15 hello"}, {"<189>x", "275 x"}, {"<7>x", "107 x"}, {"<8>x", "10 x"},
        {"<1023>x", "1777 x"}, {"<1024>x", "15 x"}, {"<13x", "15 x"}, {"<", "100 "},
        {"a\212b", "15 a b"}, {"a\tb", "15 a^Ib"}, {"a\177b", "15 a^?b"}, {"a\351b", "15 aib"},
        {"a\200b", "15 a"}, {"~ !", "15 ~ !"}, {"<" + std::string(200, '1') + ">x", "15 x"},
        {a1023 + "\t", "15 " + a1023 + "^I"}, {a1023 + "a\t", "15 " + a1023 + "a"},
    };
    // clang-format on
    for (const auto &[datagram, logged] : cases) {
        traces_.Clear();
        EXPECT_EQ(takeline("h", datagram.c_str()), 0);
        size_t space = logged.find(' ');
        EXPECT_EQ(traces_.Texts(),
                  Lines{"logmsg: pri " + logged.substr(0, space) + ", flags 0, from h, msg " +
                        logged.substr(space + 1) + "\n"})
            << datagram;
    }
}

TEST_F(DecodeTest, NamesAreRememberedForTheirTimeToLiveAndCutAtTheLocalDomain) {
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "part.rest");
    // A datagram from addr at second, the service knowing name: logged as, look-ups so far.
    const uint32_t a = Ip(1), b = Ip(2);
    const std::string m300(300, 'm');
    const std::tuple<uint32_t, int64_t, const char *, std::string, size_t> steps[] = {
        {a, 5000, "alpha.part.rest", "alpha", 1},
        {b, 5000, nullptr, "10.0.0.2", 2},
        {b, 5000 + kFailureTtl - 1, "gamma", "10.0.0.2", 2},
        {b, 5000 + kFailureTtl, "g.PART.rest", "g.PART.rest", 3},
        {a, 5000 + kNameTtl - 1, "beta", "alpha", 3},
        {a, 5000 + kNameTtl, "b.c.part.rest", "b.c.part.rest", 4},
        // An empty name is none.
        {b, 5000 + 2 * kNameTtl, "", "10.0.0.2", 5},
        // A clock set back makes every answer stale; a name keeps 128 bytes.
        {a, 5000, m300.c_str(), std::string(128, 'm'), 6},
        // Only the local domain, whole, is cut; never to nothing.
        {Ip(7), 5000, ".part.rest", ".part.rest", 7},
    };
    EXPECT_EQ(Name(a, 23), "???");  // not an IPv4 sender: not looked up
    for (const auto &[addr, second, service, logged, lookups] : steps) {
        clock_.Set(second * 1000);
        Know(addr, service);
        EXPECT_EQ(Name(addr), logged) << second;
        EXPECT_EQ(asked, lookups) << second;
    }
}

TEST_F(DecodeTest, DatagramsWaitInOrderForTheirSendersName) {
    Know(Ip(2), "fast");
    Know(Ip(1), kHeld);
    Know(Ip(3), kHeld);
    // Answered within the limit: in order, under the name; another sender flows meanwhile.
    Receive(Ip(1), "1");
    EXPECT_EQ(NamesWaitMs(), kNameWaitMs);
    clock_.Set(1000000000 + kNameWaitMs - 1);
    NamesDue();
    EXPECT_EQ(NamesWaitMs(), 1);
    Receive(Ip(1), "2");
    Receive(Ip(2), "3");
    Lines fast;
    for (int i = 0; i < 10000 && fast.empty(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        fast = Logged(0);
    }
    EXPECT_EQ(fast, Lines{"fast: 3"});
    Know(Ip(1), "slow");
    EXPECT_EQ(Logged(), (Lines{"slow: 1", "slow: 2"}));
    EXPECT_EQ(NamesWaitMs(), -1);

    // Not answered within the limit: the dotted quad; a late answer fills the cache.
    Receive(Ip(3), "5");
    Receive(Ip(3), "6");
    clock_.Set(1000000000 + 2 * kNameWaitMs - 1);  // just the limit
    EXPECT_EQ(NamesWaitMs(), 0);
    NamesDue();
    Receive(Ip(3), "7");
    EXPECT_EQ(Logged(0), (Lines{"10.0.0.3: 5", "10.0.0.3: 6", "10.0.0.3: 7"}));
    Know(Ip(3), "late");
    EXPECT_EQ(NamesIdleForTest(10000), 0);
    EXPECT_EQ(Name(Ip(3)), "late");
    EXPECT_EQ(asked, 3u);

    // A stop routes whatever waits at once.
    Know(Ip(4), kHeld);
    Receive(Ip(4), "9");
    NamesFlush();
    EXPECT_EQ(Logged(0), Lines{"10.0.0.4: 9"});
}

// Each sender's in order, whichever answer came first.
TEST_F(DecodeTest, AFullPoolLetsItsOldestDatagramsGoAtOnce) {
    Know(Ip(1), kHeld);
    Know(Ip(2), kHeld);
    Lines want[2], got[2];
    for (int i = 0; i < kNamePoolDatagrams + 3; i++) {
        Receive(Ip(1 + i % 2), std::to_string(i));
        want[i % 2].push_back((i % 2 == 0 ? "a: " : "b: ") + std::to_string(i));
    }
    EXPECT_EQ(Logged(0), (Lines{"10.0.0.1: 0", "10.0.0.2: 1", "10.0.0.1: 2"}));
    Know(Ip(1), "a");
    Know(Ip(2), "b");
    for (const std::string &line : Logged()) {
        got[line[0] - 'a'].push_back(line);
    }
    EXPECT_EQ(got[0], Lines(want[0].begin() + 2, want[0].end()));
    EXPECT_EQ(got[1], Lines(want[1].begin() + 1, want[1].end()));
}

}  // namespace
