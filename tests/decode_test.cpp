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
#include <utility>
#include <vector>

#include "diag/debug.h"
#include "engine/names_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/resolver_testing.h"
#include "test_util.h"

namespace {

// What reached logmsg, read back from its trace line.
struct Logged {
    int pri = -1;
    int flags = -1;
    std::string from;
    std::string msg;
    bool operator==(const Logged &) const = default;
};

std::vector<Logged> LoggedMessages(const testutil::TraceCatcher &traces) {
    std::vector<Logged> out;
    for (const std::string &text : traces.Texts()) {
        if (text.rfind("logmsg: ", 0) != 0) {
            continue;
        }
        Logged m;
        int used = 0;
        EXPECT_EQ(
            std::sscanf(text.c_str(), "logmsg: pri %o, flags %x, from %n", &m.pri, &m.flags, &used),
            2)
            << text;
        size_t msg = text.find(", msg ", used);
        EXPECT_NE(msg, std::string::npos) << text;
        EXPECT_EQ(text.back(), '\n') << text;
        m.from = text.substr(used, msg - used);
        m.msg = text.substr(msg + 6, text.size() - msg - 7);
        out.push_back(m);
    }
    return out;
}

// The fake name service.  It answers on the resolver threads while the test
// goes on: its state is guarded by fake_lock.  A look-up of an address in
// held waits until Release.
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

void Know(uint32_t addr, const char *name) {
    std::lock_guard<std::mutex> guard(fake_lock);
    if (name != nullptr) {
        names[addr] = name;
    } else {
        names.erase(addr);
    }
}
void Hold(uint32_t addr) {
    std::lock_guard<std::mutex> guard(fake_lock);
    held.insert(addr);
}
// Lets the held look-up of addr answer with name (nullptr: no name).
void Release(uint32_t addr, const char *name) {
    Know(addr, name);
    std::lock_guard<std::mutex> guard(fake_lock);
    held.erase(addr);
    fake_cv.notify_all();
}
size_t Lookups() {
    std::lock_guard<std::mutex> guard(fake_lock);
    return asked.size();
}

// Network byte order of a.b.c.d, whatever the machine's byte order.
uint32_t Ip(int a, int b, int c, int d) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                              static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        names.clear();
        held.clear();
        asked.clear();
        ResolverSetForTest(&kFakeResolver);
        NamesResetForTest();
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(fake_lock);
            held.clear();
            fake_cv.notify_all();
        }
        NamesResetForTest();
        ResolverSetForTest(nullptr);
        EngineResetForTest();
    }

    // Decodes datagram from "host" and returns the one message it logged.
    Logged Take(const std::string &datagram) {
        traces_.Clear();
        seen_ = 0;
        EXPECT_EQ(takeline("host", datagram.c_str()), 0);
        std::vector<Logged> logged = LoggedMessages(traces_);
        EXPECT_EQ(logged.size(), 1u) << datagram;
        return logged.empty() ? Logged{} : logged[0];
    }

    void Receive(uint32_t addr, const char *text, uint16_t family = kAfInet) {
        SockAddrIn from = {family, 0, addr, {}};
        ReceiveDatagram(&from, text);
    }
    // Waits (at most 10 s) until n messages more than at the last call have
    // been logged; returns every one logged since, as "from: msg".
    std::vector<std::string> NewlyLogged(size_t n) {
        std::vector<Logged> all = LoggedMessages(traces_);
        for (int i = 0; i < 10000 && all.size() < seen_ + n; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            all = LoggedMessages(traces_);
        }
        std::vector<std::string> fresh;
        for (size_t i = seen_; i < all.size(); i++) {
            fresh.push_back(all[i].from + ": " + all[i].msg);
        }
        seen_ = all.size();
        return fresh;
    }
    // The name one datagram from addr is logged under.
    std::string Name(uint32_t addr, const char *text = "x", uint16_t family = kAfInet) {
        Receive(addr, text, family);
        std::vector<std::string> logged = NewlyLogged(1);
        EXPECT_EQ(logged.size(), 1u);
        return logged.empty() ? "" : logged[0].substr(0, logged[0].rfind(": "));
    }

    testutil::ManualClock clock_{1000000000};
    testutil::TraceCatcher traces_{Trace};
    size_t seen_ = 0;
};

// --- takeline ---

struct LineCase {
    std::string datagram;
    int pri;
    std::string line;
};

TEST_F(DecodeTest, TakelineDecodesPriorityAndText) {
    const std::string twenty(20, '9');
    const LineCase cases[] = {
        {"<13>hello", 13, "hello"},
        {"hello", 13, "hello"},
        {"<189>x", 189, "x"},
        {"<38>x", 38, "x"},
        {"<0>x", 64, "x"},
        {"<5>x", 69, "x"},
        {"<7>x", 71, "x"},
        {"<8>x", 8, "x"},
        {"<>x", 64, "x"},
        {"<abc>x", 64, "abc>x"},
        {"<1023>x", 1023, "x"},
        {"<1024>x", 13, "x"},
        {"<" + twenty + ">x", 13, "x"},
        {"<" + std::string(200, '1') + ">x", 13, "x"},
        {"<0000000000000000000013>x", 13, "x"},
        {"<13x", 13, "x"},
        {"<13", 13, ""},
        {"<", 64, ""},
        {"", 13, ""},
        {"<13>", 13, ""},
        {"<13>>x", 13, ">x"},
        {" <13>x", 13, " <13>x"},
        {"x<13>y", 13, "x<13>y"},
        {"a\nb", 13, "a b"},
        {"a\tb", 13, "a^Ib"},
        {"a\rb", 13, "a^Mb"},
        {"a\033b", 13, "a^[b"},
        {"a\001b", 13, "a^Ab"},
        {"a\037b", 13, "a^_b"},
        {"a\177b", 13, "a^?b"},
        {"a\351b", 13, "aib"},
        {"a\212b", 13, "a b"},
        {"a\211b", 13, "a^Ib"},
        {"a\377b", 13, "a^?b"},
        {"a\200b", 13, "a"},
        {"\200", 13, ""},
        {"<13>\274b", 13, "<b"},
        {"~ !", 13, "~ !"},
    };
    for (const LineCase &c : cases) {
        Logged m = Take(c.datagram);
        EXPECT_EQ(m.pri, c.pri) << c.datagram;
        EXPECT_EQ(m.msg, c.line) << c.datagram;
        EXPECT_EQ(m.flags, 0) << c.datagram;
        EXPECT_EQ(m.from, "host") << c.datagram;
    }
}

TEST_F(DecodeTest, TakelineIgnoresWhatFollowsANul) {
    const char datagram[] = "<14>one\0two";
    takeline("host", datagram);
    std::vector<Logged> logged = LoggedMessages(traces_);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].pri, 14);
    EXPECT_EQ(logged[0].msg, "one");
}

TEST_F(DecodeTest, TakelineStopsAtTheLineLimit) {
    const std::string a1022(1022, 'a'), a1023(1023, 'a'), a1024(1024, 'a');
    std::string tabs;
    for (int i = 0; i < 512; i++) {
        tabs += "^I";
    }
    const std::pair<std::string, std::string> cases[] = {
        {std::string(600, '\t'), tabs},  // 1024 characters
        {a1023 + "\t", a1023 + "^I"},    // 1025: the last one is written whole
        {a1023 + "\tzz", a1023 + "^I"},
        {a1024 + "\t", a1024},
        {a1022 + "\t\t", a1022 + "^I"},
        {a1023 + "\n", a1023 + " "},
        // The priority part does not count towards the line.
        {"<13>" + std::string(1030, 'b'), std::string(1024, 'b')},
    };
    for (const auto &[datagram, line] : cases) {
        EXPECT_EQ(Take(datagram).msg, line) << datagram.size();
    }
}

// Every datagram length around the receive buffer's 1024 bytes: plain text,
// text behind a priority part, and text ending in a control character.
TEST_F(DecodeTest, TakelineAtEveryLengthAroundTheLimit) {
    for (size_t len = 1020; len <= 1030; len++) {
        Logged m = Take(std::string(len, 'x'));
        EXPECT_EQ(m.pri, 13) << len;
        EXPECT_EQ(m.msg, std::string(len < 1024 ? len : 1024, 'x')) << len;

        m = Take("<30>" + std::string(len - 4, 'y'));
        EXPECT_EQ(m.pri, 30) << len;
        EXPECT_EQ(m.msg, std::string(len - 4 < 1024 ? len - 4 : 1024, 'y')) << len;

        m = Take(std::string(len - 1, 'z') + "\r");
        std::string want =
            len - 1 < 1024 ? std::string(len - 1, 'z') + "^M" : std::string(1024, 'z');
        EXPECT_EQ(m.msg, want) << len;
    }
}

// --- sender names ---

TEST_F(DecodeTest, NameCutsTheLocalDomain) {
    struct DomainCase {
        const char *mydomain;
        const char *reverse;
        const char *logged;
    };
    const DomainCase cases[] = {
        {"part.rest", "host.part.rest", "host"},
        {"rest", "host.part.rest", "host.part.rest"},
        {"PART.rest", "host.part.rest", "host.part.rest"},
        {"part.rest", "HOST.part.rest", "HOST"},
        {"part.rest", "host.part.rest.", "host.part.rest."},
        {"part.rest", "host.part.res", "host.part.res"},
        {"part.rest", "host", "host"},
        {"", "host.", "host"},
        {"", "host.part.rest", "host.part.rest"},
        {"", "host..", "host.."},
        {"rest", "a.b.rest", "a.b.rest"},
        // A name that would be cut to nothing is kept whole.
        {"rest", ".rest", ".rest"},
        {"", ".", "."},
    };
    uint32_t addr = Ip(192, 0, 2, 7);
    for (const DomainCase &c : cases) {
        std::snprintf(engine.mydomain, sizeof engine.mydomain, "%s", c.mydomain);
        Know(addr, c.reverse);
        NamesResetForTest();
        traces_.Clear();
        seen_ = 0;
        EXPECT_EQ(Name(addr), c.logged) << c.reverse << " in " << c.mydomain;
        EXPECT_EQ(traces_.Texts().front(), "cvthname(192.0.2.7)\n");
        EXPECT_EQ(traces_.Texts().size(), 2u);
    }
}

// One datagram per step, from addr at the given second, while the name
// service knows the name given (nullptr: none): the name logged, and how many
// look-ups the service has had by then.
struct NameStep {
    uint32_t addr;
    int64_t second;
    const char *service;
    std::string logged;
    size_t lookups;
    uint16_t family = kAfInet;
};

TEST_F(DecodeTest, NamesAreRememberedForTheirTimeToLive) {
    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
    const std::string longname(128, 'n'), m300(300, 'm');
    const NameStep steps[] = {
        {a, 5000, "alpha", "alpha", 1},
        {b, 5000, nullptr, "10.0.0.2", 2},
        {a, 5000, "beta", "alpha", 2},
        {b, 5000, "gamma", "10.0.0.2", 2},
        {a, 5000, "beta", "???", 2, 23},
        {a, 5000, "beta", "???", 2, 0},
        {b, 5000 + kFailureTtl - 1, "gamma", "10.0.0.2", 2},
        {b, 5000 + kFailureTtl, "gamma", "gamma", 3},
        {a, 5000 + kNameTtl - 1, "beta", "alpha", 3},
        {a, 5000 + kNameTtl, "beta", "beta", 4},
        // A name that has gone away becomes a failure; an empty name is none.
        {a, 5000 + 2 * kNameTtl, nullptr, "10.0.0.1", 5},
        {b, 5000 + 2 * kNameTtl, "", "10.0.0.2", 6},
        // A clock set back makes every answer stale.
        {a, 5000, longname.c_str(), longname, 7},
        {a, 5000, "other", longname, 7},
        {b, 5000 + 3 * kNameTtl, m300.c_str(), std::string(128, 'm'), 8},
    };
    for (const NameStep &s : steps) {
        clock_.Set(s.second * 1000);
        Know(s.addr, s.service);
        EXPECT_EQ(Name(s.addr, "x", s.family), s.logged) << s.second;
        EXPECT_EQ(Lookups(), s.lookups) << s.second;
    }
}

TEST_F(DecodeTest, NameTracesAsEveryDatagramCameAlone) {
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "lan");
    Know(Ip(192, 168, 1, 20), "printer.lan");
    const char *const two[] = {"<30>ready\n", "<30>again"};
    for (const char *text : two) {
        Name(Ip(192, 168, 1, 20), text);
        Name(Ip(192, 0, 2, 9), text);
        Name(Ip(192, 0, 2, 9), text, 23);
    }
    const std::vector<std::string> first = {
        "cvthname(192.168.1.20)\n",
        "logmsg: pri 36, flags 0, from printer, msg ready \n",
        "cvthname(192.0.2.9)\n",
        "Host name for your address (192.0.2.9) unknown\n",
        "logmsg: pri 36, flags 0, from 192.0.2.9, msg ready \n",
        "cvthname(192.0.2.9)\n",
        "Malformed from address\n",
        "logmsg: pri 36, flags 0, from ???, msg ready \n",
    };
    std::vector<std::string> want = first;
    for (const std::string &line : first) {
        want.push_back(line.substr(0, 6) == "logmsg" ? line.substr(0, line.size() - 7) + "again\n"
                                                     : line);
    }
    EXPECT_EQ(traces_.Texts(), want);
}

// Addresses of one set, found by trying addresses in turn.
std::vector<uint32_t> AddressesOfSet(int set, size_t count) {
    std::vector<uint32_t> out;
    for (int i = 1; out.size() < count; i++) {
        uint32_t addr = Ip(10, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff);
        if (NameCacheSetOf(addr) == set) {
            out.push_back(addr);
        }
    }
    return out;
}

std::string NameOf(uint32_t addr) {
    char text[32];
    std::snprintf(text, sizeof text, "h%08x", addr);
    return text;
}

TEST_F(DecodeTest, NameEvictsTheLeastRecentlyUsedOfAFullSet) {
    std::vector<uint32_t> addrs = AddressesOfSet(5, kNameCacheWays + 1);
    for (uint32_t a : addrs) {
        Know(a, NameOf(a).c_str());
    }
    for (int i = 0; i < kNameCacheWays; i++) {
        EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
    }
    EXPECT_EQ(Name(addrs[0]), NameOf(addrs[0]));  // addrs[1] is now the oldest
    EXPECT_EQ(Name(addrs[kNameCacheWays]), NameOf(addrs[kNameCacheWays]));
    EXPECT_EQ(Lookups(), static_cast<size_t>(kNameCacheWays + 1));

    // Every other sender is still known; only addrs[1] is asked again.
    {
        std::lock_guard<std::mutex> guard(fake_lock);
        asked.clear();
    }
    for (size_t i = 0; i < addrs.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
        }
    }
    EXPECT_EQ(Lookups(), 0u);
    EXPECT_EQ(Name(addrs[1]), NameOf(addrs[1]));
    EXPECT_EQ(asked, std::vector<uint32_t>{addrs[1]});
}

TEST_F(DecodeTest, NameReusesAStaleEntryBeforeAFreshOne) {
    std::vector<uint32_t> addrs = AddressesOfSet(9, kNameCacheWays + 1);
    for (uint32_t a : addrs) {
        Know(a, NameOf(a).c_str());
    }
    Know(addrs[1], nullptr);
    clock_.Set(20000000);
    for (int i = 0; i < kNameCacheWays; i++) {
        if (i != 1) {
            Name(addrs[i]);
        }
    }
    clock_.Set(20001000);
    Name(addrs[1]);  // the most recent entry, a failure
    // The failure is stale, the names are not: the new sender takes the
    // failure's entry although addrs[0] is the least recently used.
    clock_.Set((20001 + kFailureTtl) * 1000);
    EXPECT_EQ(Name(addrs[kNameCacheWays]), NameOf(addrs[kNameCacheWays]));
    {
        std::lock_guard<std::mutex> guard(fake_lock);
        asked.clear();
    }
    for (size_t i = 0; i < addrs.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
        }
    }
    EXPECT_EQ(Lookups(), 0u);
}

TEST_F(DecodeTest, NameStaysRightWhenManySendersOverflowTheCache) {
    const int count = 3 * kNameCacheSets * kNameCacheWays;
    std::vector<uint32_t> addrs;
    for (int i = 0; i < count; i++) {
        addrs.push_back(Ip(172, 16, i >> 8, i & 0xff));
        if (i % 3 != 0) {
            Know(addrs[i], NameOf(addrs[i]).c_str());
        }
    }
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < count; i++) {
            std::string want =
                i % 3 != 0 ? NameOf(addrs[i])
                           : "172.16." + std::to_string(i >> 8) + "." + std::to_string(i & 0xff);
            ASSERT_EQ(Name(addrs[i]), want) << i;
        }
    }
    EXPECT_GE(Lookups(), static_cast<size_t>(count));
    EXPECT_LE(Lookups(), static_cast<size_t>(2 * count));
    // The last senders are still remembered.
    size_t before = Lookups();
    EXPECT_EQ(Name(addrs[count - 1]), NameOf(addrs[count - 1]));
    EXPECT_EQ(Lookups(), before);
    // Addresses spread over the sets.
    std::vector<int> perset(kNameCacheSets, 0);
    for (int i = 0; i < 256; i++) {
        perset[NameCacheSetOf(Ip(192, 168, 1, i))]++;
    }
    EXPECT_LE(*std::max_element(perset.begin(), perset.end()), 8);
}

// --- datagrams that wait for their sender's name ---

using Lines = std::vector<std::string>;

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
    Release(slow, "slow");
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
    Release(late, "late");
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
        Receive(i % 2 == 0 ? a : b, std::to_string(i).c_str());
    }
    EXPECT_EQ(NewlyLogged(0), (Lines{"10.0.0.1: 0", "10.0.0.2: 1", "10.0.0.1: 2"}));
    Release(a, "a");
    Release(b, "b");
    Lines logged = NewlyLogged(count - 3);
    ASSERT_EQ(logged.size(), static_cast<size_t>(count - 3));
    // Each sender's in order, whichever answer came first.
    Lines want_a, want_b, got_a, got_b;
    for (int i = 3; i < count; i++) {
        (i % 2 == 0 ? want_a : want_b).push_back((i % 2 == 0 ? "a: " : "b: ") + std::to_string(i));
    }
    for (const std::string &line : logged) {
        (line[0] == 'a' ? got_a : got_b).push_back(line);
    }
    EXPECT_EQ(got_a, want_a);
    EXPECT_EQ(got_b, want_b);
}

}  // namespace
