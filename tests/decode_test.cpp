// Decoding (takeline) and sender names: the cache of answers and the
// datagrams that wait for their sender's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"
#include "engine/names_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/resolver_testing.h"
#include "test_util.h"

namespace {

// The fake name service answers on the resolver threads, guarded by
// fake_lock; a look-up of an address in held waits until Release.
std::mutex fake_lock;
std::condition_variable fake_cv;
std::map<uint32_t, std::string> names;
std::set<uint32_t> held;
std::vector<uint32_t> asked;

int FakeResolve(uint32_t addr, char *name, size_t size) {
    std::unique_lock<std::mutex> guard(fake_lock);
    asked.push_back(addr);
    fake_cv.wait(guard, [addr] { return held.count(addr) == 0; });
    auto it = names.find(addr);
    if (it == names.end()) {
        return -1;
    }
    std::snprintf(name, size, "%s", it->second.c_str());
    return 0;
}
const ResolverOps kFakeResolver = {FakeResolve, nullptr};

// The name service's answer for addr from now on (nullptr: none); a held
// look-up of it answers.
void Know(uint32_t addr, const char *name) {
    std::lock_guard<std::mutex> guard(fake_lock);
    name != nullptr ? void(names[addr] = name) : void(names.erase(addr));
    held.erase(addr);
    fake_cv.notify_all();
}
void Hold(uint32_t addr) {
    std::lock_guard<std::mutex> guard(fake_lock);
    held.insert(addr);
}
size_t Lookups() {
    std::lock_guard<std::mutex> guard(fake_lock);
    return asked.size();
}
// Forgets every answer and look-up; a held look-up answers none.
void Forget() {
    std::lock_guard<std::mutex> guard(fake_lock);
    names.clear();
    held.clear();
    asked.clear();
    fake_cv.notify_all();
}

// Network byte order of a.b.c.d.
uint32_t Ip(int a, int b, int c, int d) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                              static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}
std::string NameOf(uint32_t addr) {
    return "h" + std::to_string(addr);
}

using Lines = std::vector<std::string>;

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        Forget();
        ResolverSetForTest(&kFakeResolver);
        NamesResetForTest();
    }
    void TearDown() override {
        Forget();
        NamesResetForTest();
        ResolverSetForTest(nullptr);
        EngineResetForTest();
    }

    // What reached logmsg, as "from: msg", or "from: pri msg" with the
    // priority in octal.
    Lines Logged(bool with_pri) const {
        Lines out;
        for (const std::string &t : traces_.Texts()) {
            size_t from = t.find(", from "), msg = t.find(", msg ");
            if (t.rfind("logmsg: pri ", 0) == 0 && from != std::string::npos) {
                std::string pri = with_pri ? t.substr(12, t.find(',') - 12) + " " : "";
                out.push_back(t.substr(from + 7, msg - from - 7) + ": " + pri +
                              t.substr(msg + 6, t.size() - msg - 7));
            }
        }
        return out;
    }
    void Receive(uint32_t addr, const std::string &text, uint16_t family = kAfInet) {
        SockAddrIn from = {family, 0, addr, {}};
        ReceiveDatagram(&from, text.c_str());
    }
    // Waits (at most 10 s) until n messages more than at the last call have
    // been logged; returns every one logged since, as "from: msg".
    Lines NewlyLogged(size_t n) {
        Lines all = Logged(false);
        for (int i = 0; i < 10000 && all.size() < seen_ + n; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            all = Logged(false);
        }
        Lines fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end());
        seen_ = all.size();
        return fresh;
    }
    // The name one datagram from addr is logged under.
    std::string Name(uint32_t addr, uint16_t family = kAfInet) {
        Receive(addr, "x", family);
        Lines logged = NewlyLogged(1);
        EXPECT_EQ(logged.size(), 1u);
        return logged.empty() ? "" : logged[0].substr(0, logged[0].size() - 3);
    }

    testutil::ManualClock clock_{1000000000};
    testutil::TraceCatcher traces_{Trace};
    size_t seen_ = 0;
};

TEST_F(DecodeTest, TakelineDecodesPriorityAndText) {
    const std::string a1023(1023, 'a');
    std::string carets;
    for (int i = 0; i < 512; i++) {
        carets += "^I";
    }
    // The priority in octal, as traced, and the text.
    // clang-format off
    const char *const cases[][2] = {
        {"<13>hello", "15 hello"}, {"hello", "15 hello"}, {"<189>x", "275 x"}, {"<0>x", "100 x"},
        {"<7>x", "107 x"}, {"<8>x", "10 x"}, {"<>x", "100 x"}, {"<abc>x", "100 abc>x"},
        {"<1023>x", "1777 x"}, {"<1024>x", "15 x"}, {"<10230>x", "15 x"}, {"<13x", "15 x"},
        {"<0000000000000000000013>x", "15 x"}, {"<", "100 "}, {"", "15 "}, {"<13>>x", "15 >x"},
        {" <13>x", "15  <13>x"}, {"a\nb", "15 a b"}, {"a\tb", "15 a^Ib"}, {"a\001b", "15 a^Ab"},
        {"a\037b", "15 a^_b"}, {"a\177b", "15 a^?b"}, {"a\351b", "15 aib"}, {"a\212b", "15 a b"},
        {"a\211b", "15 a^Ib"}, {"a\200b", "15 a"}, {"~ !", "15 ~ !"},
    };
    // clang-format on
    // The line stops at 1024 characters; a form begun at 1023 completes.
    const std::pair<std::string, std::string> long_cases[] = {
        {"<" + std::string(200, '1') + ">x", "15 x"},
        {std::string(600, '\t'), "15 " + carets},
        {a1023 + "\t", "15 " + a1023 + "^I"},
        {a1023 + "a\t", "15 " + a1023 + "a"},
        {a1023 + "\n", "15 " + a1023 + " "},
        {"<13>" + std::string(1030, 'b'), "15 " + std::string(1024, 'b')},
    };
    std::vector<std::pair<std::string, std::string>> all(std::begin(long_cases),
                                                         std::end(long_cases));
    for (const auto &[datagram, logged] : cases) {
        all.emplace_back(datagram, logged);
    }
    for (const auto &[datagram, logged] : all) {
        traces_.Clear();
        EXPECT_EQ(takeline("host", datagram.c_str()), 0);
        EXPECT_EQ(Logged(true), Lines{"host: " + logged}) << datagram;
    }
}

TEST_F(DecodeTest, NameCutsTheLocalDomain) {
    // clang-format off
    const char *const cases[][3] = {
        {"part.rest", "host.part.rest", "host"}, {"rest", "host.part.rest", "host.part.rest"},
        {"PART.rest", "host.part.rest", "host.part.rest"}, {"part.rest", "HOST.part.rest", "HOST"},
        {"part.rest", "host.part.rest.", "host.part.rest."}, {"", "host.", "host"},
        {"part.rest", "host.part.res", "host.part.res"}, {"rest", ".rest", ".rest"},
    };  // a name is never cut to nothing
    // clang-format on
    for (const auto &[mydomain, reverse, logged] : cases) {
        std::snprintf(engine.mydomain, sizeof engine.mydomain, "%s", mydomain);
        Know(Ip(192, 0, 2, 7), reverse);
        NamesResetForTest();
        EXPECT_EQ(Name(Ip(192, 0, 2, 7)), logged) << reverse << " in " << mydomain;
    }
}

TEST_F(DecodeTest, NamesAreRememberedForTheirTimeToLive) {
    // One datagram per step, from addr at the given second, while the name
    // service knows the name given: the name logged, and the look-ups so far.
    struct Step {
        uint32_t addr;
        int64_t second;
        const char *service;
        std::string logged;
        size_t lookups;
        uint16_t family = kAfInet;
    };
    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
    const std::string n128(128, 'n'), m300(300, 'm');
    const Step steps[] = {
        {a, 5000, "alpha", "alpha", 1},
        {b, 5000, nullptr, "10.0.0.2", 2},
        {a, 5000, "beta", "alpha", 2},
        {b, 5000, "gamma", "10.0.0.2", 2},
        {a, 5000, "beta", "???", 2, 23},  // not an IPv4 sender
        {b, 5000 + kFailureTtl - 1, "gamma", "10.0.0.2", 2},
        {b, 5000 + kFailureTtl, "gamma", "gamma", 3},
        {a, 5000 + kNameTtl - 1, "beta", "alpha", 3},
        {a, 5000 + kNameTtl, "beta", "beta", 4},
        // A name that has gone away becomes a failure; an empty name is none.
        {a, 5000 + 2 * kNameTtl, nullptr, "10.0.0.1", 5},
        {b, 5000 + 2 * kNameTtl, "", "10.0.0.2", 6},
        // A clock set back makes every answer stale.
        {a, 5000, n128.c_str(), n128, 7},
        {a, 5000, "other", n128, 7},
        {b, 5000 + 3 * kNameTtl, m300.c_str(), std::string(128, 'm'), 8},
    };
    for (const Step &s : steps) {
        clock_.Set(s.second * 1000);
        Know(s.addr, s.service);
        EXPECT_EQ(Name(s.addr, s.family), s.logged) << s.second;
        EXPECT_EQ(Lookups(), s.lookups) << s.second;
    }
}

TEST_F(DecodeTest, NameTracesAsEveryDatagramCameAlone) {
    Know(Ip(192, 168, 1, 20), "printer");
    Name(Ip(192, 168, 1, 20));
    Name(Ip(192, 0, 2, 9));
    Name(Ip(192, 0, 2, 9));  // the failure remembered
    Name(Ip(192, 0, 2, 9), 23);
    const std::string unknown = "Host name for your address (192.0.2.9) unknown\n";
    const std::string logged = "logmsg: pri 15, flags 0, from 192.0.2.9, msg x\n";
    EXPECT_EQ(traces_.Texts(),
              (Lines{"cvthname(192.168.1.20)\n", "logmsg: pri 15, flags 0, from printer, msg x\n",
                     "cvthname(192.0.2.9)\n", unknown, logged, "cvthname(192.0.2.9)\n", unknown,
                     logged, "cvthname(192.0.2.9)\n", "Malformed from address\n",
                     "logmsg: pri 15, flags 0, from ???, msg x\n"}));
}

// A full set of the cache: a new sender takes a stale entry, else the least
// recently used one; every other sender stays known.
TEST_F(DecodeTest, NameEvictsAStaleEntryElseTheLeastRecentlyUsed) {
    for (int stale = 0; stale < 2; stale++) {
        NamesResetForTest();
        std::vector<uint32_t> addrs;  // of one set
        for (int i = 1; addrs.size() < kNameCacheWays + 1; i++) {
            if (NameCacheSetOf(Ip(10, 1, i >> 8, i & 0xff)) == 5) {
                addrs.push_back(Ip(10, 1, i >> 8, i & 0xff));
                Know(addrs.back(), NameOf(addrs.back()).c_str());
            }
        }
        // The entry to give way: addrs[1] as the least recently used, or as
        // a failure gone stale although more recent than the others.
        Know(addrs[1], stale != 0 ? nullptr : NameOf(addrs[1]).c_str());
        for (int i : stale != 0 ? std::vector<int>{0, 2, 3, 1} : std::vector<int>{0, 1, 2, 3, 0}) {
            clock_.Set(20000000 + (i == 1) * 1000);
            Name(addrs[i]);
        }
        clock_.Set((20001 + stale * kFailureTtl) * 1000);
        EXPECT_EQ(Name(addrs[4]), NameOf(addrs[4]));
        size_t lookups = Lookups();
        for (int i : {0, 2, 3, 4}) {
            EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i])) << stale;
        }
        EXPECT_EQ(Lookups(), lookups) << stale;
    }
    // Addresses spread over the sets.
    std::vector<int> perset(kNameCacheSets, 0);
    for (int i = 0; i < 256; i++) {
        perset[NameCacheSetOf(Ip(192, 168, 1, i))]++;
    }
    EXPECT_LE(*std::max_element(perset.begin(), perset.end()), 8);
}

TEST_F(DecodeTest, DatagramsWaitInOrderForTheirSendersName) {
    const uint32_t slow = Ip(10, 0, 0, 1), fast = Ip(10, 0, 0, 2), late = Ip(10, 0, 0, 3);
    Know(fast, "fast");
    Hold(slow);
    Hold(late);
    EXPECT_EQ(NamesWaitMs(), -1);
    // The answer within the limit: every waiting datagram goes under it, in
    // order; another sender flows meanwhile.
    Receive(slow, "1");
    EXPECT_EQ(NamesWaitMs(), kNameWaitMs);
    clock_.Set(1000000000 + kNameWaitMs - 1);
    NamesDue();
    EXPECT_EQ(NamesWaitMs(), 1);
    Receive(slow, "2");
    Receive(fast, "3");
    EXPECT_EQ(NewlyLogged(1), Lines{"fast: 3"});
    Know(slow, "slow");
    EXPECT_EQ(NewlyLogged(2), (Lines{"slow: 1", "slow: 2"}));
    Receive(slow, "4");
    EXPECT_EQ(NewlyLogged(1), Lines{"slow: 4"});
    EXPECT_EQ(NamesWaitMs(), -1);

    // No answer within the limit: the dotted quad, remembered as a failure;
    // the late answer still fills the cache.
    Receive(late, "5");
    Receive(late, "6");
    clock_.Set(1000000000 + 2 * kNameWaitMs - 1);  // just the limit
    EXPECT_EQ(NamesWaitMs(), 0);
    NamesDue();
    Receive(late, "7");
    EXPECT_EQ(NewlyLogged(3), (Lines{"10.0.0.3: 5", "10.0.0.3: 6", "10.0.0.3: 7"}));
    Know(late, "late");
    EXPECT_EQ(NamesIdleForTest(10000), 0);
    Receive(late, "8");
    EXPECT_EQ(NewlyLogged(1), Lines{"late: 8"});
    EXPECT_EQ(Lookups(), 3u);

    // A stop routes whatever waits at once.
    Hold(Ip(10, 0, 0, 4));
    Receive(Ip(10, 0, 0, 4), "9");
    EXPECT_EQ(NewlyLogged(0), Lines{});
    NamesFlush();
    EXPECT_EQ(NewlyLogged(1), Lines{"10.0.0.4: 9"});
}

TEST_F(DecodeTest, AFullPoolLetsItsOldestDatagramsGoAtOnce) {
    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
    Hold(a);
    Hold(b);
    const int count = kNamePoolDatagrams + 3;
    for (int i = 0; i < count; i++) {
        Receive(i % 2 == 0 ? a : b, std::to_string(i));
    }
    EXPECT_EQ(NewlyLogged(0), (Lines{"10.0.0.1: 0", "10.0.0.2: 1", "10.0.0.1: 2"}));
    Know(a, "a");
    Know(b, "b");
    // Each sender's in order, whichever answer came first.
    Lines want, got = NewlyLogged(count - 3);
    for (int i = 3; i < count; i++) {
        want.push_back((i % 2 == 0 ? "a: " : "b: ") + std::to_string(i));
    }
    std::stable_partition(got.begin(), got.end(), [](const std::string &s) { return s[0] == 'a'; });
    std::stable_partition(want.begin(), want.end(),
                          [](const std::string &s) { return s[0] == 'a'; });
    EXPECT_EQ(got, want);
}

}  // namespace
