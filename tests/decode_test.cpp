#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/decode_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/clock_testing.h"
#include "platform/debugger_testing.h"
#include "platform/resolver_testing.h"

namespace {

// --- fakes: trace sink, resolver, clock ---

std::vector<std::string> traced;
void CatchTrace(const char *text) {
    traced.push_back(text);
}

// The text of each trace line behind its "%03X> Trace   : " prefix.
std::vector<std::string> TraceTexts() {
    std::vector<std::string> out;
    for (const std::string &line : traced) {
        size_t at = line.find("> Trace   : ");
        EXPECT_NE(at, std::string::npos) << line;
        if (at != std::string::npos) {
            out.push_back(line.substr(at + std::strlen("> Trace   : ")));
        }
    }
    return out;
}

// What reached logmsg, read back from its trace line.
struct Logged {
    int pri = -1;
    int flags = -1;
    std::string from;
    std::string msg;
};

std::vector<Logged> LoggedMessages() {
    std::vector<Logged> out;
    for (const std::string &text : TraceTexts()) {
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

std::map<uint32_t, std::string> names;  // what the fake name service knows
int lookups = 0;
std::vector<uint32_t> asked;

int FakeResolve(uint32_t addr, char *name, size_t size) {
    lookups++;
    asked.push_back(addr);
    auto it = names.find(addr);
    if (it == names.end()) {
        return -1;
    }
    std::snprintf(name, size, "%s", it->second.c_str());
    return 0;
}

int64_t now_ms = 0;
int64_t FakeClock() {
    return now_ms;
}
void SetSeconds(int64_t s) {
    now_ms = s * 1000;
}

// Network byte order of a.b.c.d, whatever the machine's byte order.
uint32_t Ip(int a, int b, int c, int d) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                              static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

SockAddrIn From(uint32_t addr, uint16_t family = kAfInet) {
    SockAddrIn sa;
    std::memset(&sa, 0, sizeof sa);
    sa.family = family;
    sa.port = 0x0202;
    sa.addr = addr;
    return sa;
}

class DecodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EngineResetForTest();
        LogResetForTest();
        LogSetMaskForTest(Trace);
        traced.clear();
        DebugOutputSetSink(CatchTrace);
        names.clear();
        lookups = 0;
        asked.clear();
        ResolverSet(FakeResolve, nullptr);
        SetSeconds(1000000);
        ClockSetSource(FakeClock);
        NameCacheClearForTest();
    }
    void TearDown() override {
        NameCacheClearForTest();
        ClockSetSource(nullptr);
        ResolverSet(nullptr, nullptr);
        DebugOutputSetSink(nullptr);
        LogResetForTest();
        EngineResetForTest();
    }

    // Decodes datagram from "host" and returns the one message it logged.
    Logged Take(const std::string &datagram) {
        traced.clear();
        EXPECT_EQ(takeline("host", datagram.c_str()), 0);
        std::vector<Logged> logged = LoggedMessages();
        EXPECT_EQ(logged.size(), 1u) << datagram;
        return logged.empty() ? Logged{} : logged[0];
    }

    std::string Name(uint32_t addr, uint16_t family = kAfInet) {
        SockAddrIn sa = From(addr, family);
        return cvthname(&sa);
    }
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
    traced.clear();
    takeline("host", datagram);
    std::vector<Logged> logged = LoggedMessages();
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

// --- cvthname ---

TEST_F(DecodeTest, CvthnameCutsTheLocalDomain) {
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
        {"", "host", "host"},
        {"", "host..", "host.."},
        {"rest", "host.rest", "host"},
        {"rest", "a.b.rest", "a.b.rest"},
        // A name that would be cut to nothing is kept whole.
        {"rest", ".rest", ".rest"},
        {"", ".", "."},
    };
    uint32_t addr = Ip(192, 0, 2, 7);
    for (const DomainCase &c : cases) {
        std::snprintf(engine.mydomain, sizeof engine.mydomain, "%s", c.mydomain);
        names[addr] = c.reverse;
        NameCacheClearForTest();
        traced.clear();
        EXPECT_EQ(Name(addr), c.logged) << c.reverse << " in " << c.mydomain;
        EXPECT_EQ(TraceTexts(), std::vector<std::string>{"cvthname(192.0.2.7)\n"});
    }
}

TEST_F(DecodeTest, CvthnameGivesTheDottedQuadForAnUnknownSender) {
    EXPECT_EQ(Name(Ip(10, 1, 2, 3)), "10.1.2.3");
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{
                                "cvthname(10.1.2.3)\n",
                                "Host name for your address (10.1.2.3) unknown\n",
                            }));
    EXPECT_EQ(lookups, 1);
}

TEST_F(DecodeTest, CvthnameRefusesAnotherFamily) {
    names[Ip(10, 1, 2, 3)] = "known";
    EXPECT_EQ(Name(Ip(10, 1, 2, 3), 23), "???");
    EXPECT_EQ(Name(Ip(10, 1, 2, 3), 0), "???");
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{
                                "cvthname(10.1.2.3)\n",
                                "Malformed from address\n",
                                "cvthname(10.1.2.3)\n",
                                "Malformed from address\n",
                            }));
    EXPECT_EQ(lookups, 0);
}

TEST_F(DecodeTest, CvthnameKeepsAFullLengthName) {
    std::string longname(128, 'n');
    names[Ip(10, 0, 0, 1)] = longname;
    EXPECT_EQ(Name(Ip(10, 0, 0, 1)), longname);
    EXPECT_EQ(Name(Ip(10, 0, 0, 1)), longname);
    names[Ip(10, 0, 0, 2)] = std::string(300, 'm');
    EXPECT_EQ(Name(Ip(10, 0, 0, 2)), std::string(128, 'm'));
}

TEST_F(DecodeTest, CvthnameTreatsAnEmptyNameAsUnknown) {
    names[Ip(10, 0, 0, 1)] = "";
    EXPECT_EQ(Name(Ip(10, 0, 0, 1)), "10.0.0.1");
}

TEST_F(DecodeTest, CvthnameRemembersANameWithTheSameTraces) {
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "example.org");
    names[Ip(192, 0, 2, 1)] = "alpha.example.org";
    EXPECT_EQ(Name(Ip(192, 0, 2, 1)), "alpha");
    EXPECT_EQ(Name(Ip(192, 0, 2, 1)), "alpha");
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{
                                "cvthname(192.0.2.1)\n",
                                "cvthname(192.0.2.1)\n",
                            }));
    // The cut follows the local domain of the moment, not that of the look-up.
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "other.org");
    EXPECT_EQ(Name(Ip(192, 0, 2, 1)), "alpha.example.org");
    EXPECT_EQ(lookups, 1);
}

TEST_F(DecodeTest, CvthnameRemembersAFailureWithTheSameTraces) {
    EXPECT_EQ(Name(Ip(192, 0, 2, 9)), "192.0.2.9");
    EXPECT_EQ(Name(Ip(192, 0, 2, 9)), "192.0.2.9");
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{
                                "cvthname(192.0.2.9)\n",
                                "Host name for your address (192.0.2.9) unknown\n",
                                "cvthname(192.0.2.9)\n",
                                "Host name for your address (192.0.2.9) unknown\n",
                            }));
}

TEST_F(DecodeTest, CvthnameForgetsANameAfterItsTimeToLive) {
    uint32_t addr = Ip(192, 0, 2, 1);
    names[addr] = "alpha";
    SetSeconds(5000);
    EXPECT_EQ(Name(addr), "alpha");
    names[addr] = "beta";
    SetSeconds(5000 + kNameTtl - 1);
    EXPECT_EQ(Name(addr), "alpha");
    EXPECT_EQ(lookups, 1);
    SetSeconds(5000 + kNameTtl);
    EXPECT_EQ(Name(addr), "beta");
    EXPECT_EQ(lookups, 2);
    // A name that has gone away becomes a failure.
    names.erase(addr);
    SetSeconds(5000 + 2 * kNameTtl);
    EXPECT_EQ(Name(addr), "192.0.2.1");
    EXPECT_EQ(lookups, 3);
}

TEST_F(DecodeTest, CvthnameForgetsAFailureAfterItsTimeToLive) {
    uint32_t addr = Ip(192, 0, 2, 2);
    SetSeconds(7000);
    EXPECT_EQ(Name(addr), "192.0.2.2");
    names[addr] = "gamma";
    SetSeconds(7000 + kFailureTtl - 1);
    EXPECT_EQ(Name(addr), "192.0.2.2");
    EXPECT_EQ(lookups, 1);
    SetSeconds(7000 + kFailureTtl);
    EXPECT_EQ(Name(addr), "gamma");
    EXPECT_EQ(lookups, 2);
}

TEST_F(DecodeTest, CvthnameAsksAgainWhenTheClockGoesBack) {
    uint32_t addr = Ip(192, 0, 2, 3);
    names[addr] = "delta";
    SetSeconds(9000);
    EXPECT_EQ(Name(addr), "delta");
    SetSeconds(8999);
    EXPECT_EQ(Name(addr), "delta");
    EXPECT_EQ(lookups, 2);
    EXPECT_EQ(Name(addr), "delta");
    EXPECT_EQ(lookups, 2);
}

TEST_F(DecodeTest, CvthnameKeepsSendersApart) {
    names[Ip(10, 0, 0, 1)] = "one";
    names[Ip(10, 0, 0, 2)] = "two";
    EXPECT_EQ(Name(Ip(10, 0, 0, 1)), "one");
    EXPECT_EQ(Name(Ip(10, 0, 0, 2)), "two");
    EXPECT_EQ(Name(Ip(10, 0, 0, 3)), "10.0.0.3");
    EXPECT_EQ(Name(Ip(10, 0, 0, 1)), "one");
    EXPECT_EQ(Name(Ip(10, 0, 0, 2)), "two");
    EXPECT_EQ(Name(Ip(10, 0, 0, 3)), "10.0.0.3");
    EXPECT_EQ(lookups, 3);
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

TEST_F(DecodeTest, CvthnameEvictsTheLeastRecentlyUsedOfAFullSet) {
    std::vector<uint32_t> addrs = AddressesOfSet(5, kNameCacheWays + 1);
    for (uint32_t a : addrs) {
        names[a] = NameOf(a);
    }
    for (int i = 0; i < kNameCacheWays; i++) {
        EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
    }
    EXPECT_EQ(Name(addrs[0]), NameOf(addrs[0]));  // addrs[1] is now the oldest
    EXPECT_EQ(lookups, kNameCacheWays);
    EXPECT_EQ(Name(addrs[kNameCacheWays]), NameOf(addrs[kNameCacheWays]));
    EXPECT_EQ(lookups, kNameCacheWays + 1);

    // Every other sender is still known; only addrs[1] is asked again.
    asked.clear();
    for (size_t i = 0; i < addrs.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
        }
    }
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(Name(addrs[1]), NameOf(addrs[1]));
    EXPECT_EQ(asked, std::vector<uint32_t>{addrs[1]});
}

TEST_F(DecodeTest, CvthnameReusesAStaleEntryBeforeAFreshOne) {
    std::vector<uint32_t> addrs = AddressesOfSet(9, kNameCacheWays + 1);
    for (uint32_t a : addrs) {
        names[a] = NameOf(a);
    }
    names.erase(addrs[1]);
    SetSeconds(20000);
    for (int i = 0; i < kNameCacheWays; i++) {
        if (i != 1) {
            Name(addrs[i]);
        }
    }
    SetSeconds(20001);
    Name(addrs[1]);  // the most recent entry, a failure
    // The failure is stale, the names are not: the new sender takes the
    // failure's entry although addrs[0] is the least recently used.
    SetSeconds(20001 + kFailureTtl);
    EXPECT_EQ(Name(addrs[kNameCacheWays]), NameOf(addrs[kNameCacheWays]));
    asked.clear();
    for (size_t i = 0; i < addrs.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(Name(addrs[i]), NameOf(addrs[i]));
        }
    }
    EXPECT_TRUE(asked.empty());
}

TEST_F(DecodeTest, CvthnameStaysRightWhenManySendersOverflowTheCache) {
    const int count = 3 * kNameCacheSets * kNameCacheWays;
    std::vector<uint32_t> addrs;
    for (int i = 0; i < count; i++) {
        uint32_t a = Ip(172, 16, i >> 8, i & 0xff);
        addrs.push_back(a);
        if (i % 3 != 0) {
            names[a] = NameOf(a);
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
    EXPECT_GE(lookups, count);
    EXPECT_LE(lookups, 2 * count);
    // The last senders are still remembered.
    int before = lookups;
    EXPECT_EQ(Name(addrs[count - 1]), NameOf(addrs[count - 1]));
    EXPECT_EQ(lookups, before);
}

TEST_F(DecodeTest, CvthnameSpreadsAddressesOverTheSets) {
    std::vector<int> perset(kNameCacheSets, 0);
    for (int i = 0; i < 256; i++) {
        perset[NameCacheSetOf(Ip(192, 168, 1, i))]++;
    }
    for (int s = 0; s < kNameCacheSets; s++) {
        EXPECT_LE(perset[s], 8) << s;
    }
}

// Only the loop thread calls cvthname, but two callers must not disturb each
// other's answers or the cache.
// A name service without shared state, for callers on several threads: even
// last bytes have a name.
int PureResolve(uint32_t addr, char *name, size_t size) {
    if (((addr >> 24) & 1) != 0) {
        return -1;
    }
    std::snprintf(name, size, "h%08x", addr);
    return 0;
}

TEST_F(DecodeTest, CvthnameAnswersTwoThreadsAtOnce) {
    ResolverSet(PureResolve, nullptr);
    LogSetMaskForTest(0);
    auto work = [](int offset, int *wrong) {
        for (int n = 0; n < 2000; n++) {
            int i = (n + offset) % 16;
            SockAddrIn sa = From(Ip(10, 9, 0, i));
            std::string want = i % 2 == 0 ? NameOf(Ip(10, 9, 0, i)) : "10.9.0." + std::to_string(i);
            if (want != cvthname(&sa)) {
                (*wrong)++;
            }
            if (n % 100 == 0) {
                NameCacheClearForTest();
            }
        }
    };
    int wrong1 = 0;
    int wrong2 = 0;
    std::thread t1(work, 0, &wrong1);
    std::thread t2(work, 7, &wrong2);
    t1.join();
    t2.join();
    EXPECT_EQ(wrong1, 0);
    EXPECT_EQ(wrong2, 0);
}

// --- the road of one datagram ---

TEST_F(DecodeTest, DatagramIsLoggedUnderTheSendersName) {
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "lan");
    names[Ip(192, 168, 1, 20)] = "printer.lan";
    SockAddrIn sa = From(Ip(192, 168, 1, 20));
    traced.clear();
    takeline(cvthname(&sa), "<30>ready\n");
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{
                                "cvthname(192.168.1.20)\n",
                                "logmsg: pri 36, flags 0, from printer, msg ready \n",
                            }));
}

}  // namespace
