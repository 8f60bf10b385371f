#include <cstring>
#include <mutex>

#include "diag/debug.h"
#include "engine/decode_testing.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/resolver.h"

namespace {

// Default priority of a datagram without a usable priority part: user.notice.
constexpr int kDefaultPri = 13;
// Highest valid priority: facility 127, severity 7.
constexpr int kMaxPri = 1023;
// Facility uucp, under which kernel messages from the network are filed.
constexpr int kUucpPri = 64;
// The line stops growing once it holds this many characters; a two-character
// form begun at 1023 still completes, so the line holds at most 1025.
constexpr int kLineLimit = 1024;
constexpr int kLineSize = kLineLimit + 2;

// A host name as the resolver hands it over: 128 characters and a NUL.
constexpr int kHostNameSize = 129;
// Dotted quad: "255.255.255.255" and a NUL.
constexpr int kQuadSize = 16;

static_assert(kLineSize >= 1026, "the line holds 1025 characters and a NUL");

// One remembered answer of the reverse look-up.  An entry is valid while
// stored <= now < stored + ttl; a clock set back makes it stale at once.
struct NameEntry {
    uint32_t addr;  // network byte order
    uint8_t state;  // kEmpty, kFound or kFailed
    time_t stored;
    uint64_t used;             // last use, for least-recently-used eviction
    char name[kHostNameSize];  // official name, uncut (kFound only)
};
constexpr uint8_t kEmpty = 0;
constexpr uint8_t kFound = 1;
constexpr uint8_t kFailed = 2;

// A reverse look-up blocks the loop thread until the name service answers, so
// answers are remembered: names for kNameTtl seconds, failures (which are the
// slow ones) for kFailureTtl.  The table is fixed; nothing is allocated.
// Set-associative, so a lookup touches kNameCacheWays entries and a burst of
// senders evicts only within one set.  Guarded by its own lock, held only
// around the table, never across a look-up.
struct NameCache {
    NameEntry entries[kNameCacheSets][kNameCacheWays];
    uint64_t clock;  // use counter
    std::mutex lock;
};
NameCache cache;

// Results of cvthname: valid until the next call on the same thread.
thread_local char resultname[kHostNameSize];
thread_local char resultquad[kQuadSize];

bool Fresh(const NameEntry &e, time_t now) {
    if (e.state == kEmpty || now < e.stored) {
        return false;
    }
    time_t ttl = e.state == kFound ? kNameTtl : kFailureTtl;
    return now - e.stored < ttl;
}

// Looks addr up in the cache.  Returns kFound (name copied into out),
// kFailed, or kEmpty when nothing fresh is known.
uint8_t CacheFind(uint32_t addr, time_t now, char *out) {
    std::lock_guard<std::mutex> guard(cache.lock);
    NameEntry *set = cache.entries[NameCacheSetOf(addr)];
    for (int i = 0; i < kNameCacheWays; i++) {
        NameEntry &e = set[i];
        if (e.state != kEmpty && e.addr == addr && Fresh(e, now)) {
            e.used = ++cache.clock;
            if (e.state == kFound) {
                std::memcpy(out, e.name, kHostNameSize);
            }
            return e.state;
        }
    }
    return kEmpty;
}

// Remembers an answer: in the entry already holding addr, else an empty one,
// else a stale one, else the least recently used of the set.
void CacheStore(uint32_t addr, time_t now, uint8_t state, const char *name) {
    std::lock_guard<std::mutex> guard(cache.lock);
    NameEntry *set = cache.entries[NameCacheSetOf(addr)];
    NameEntry *victim = nullptr;
    for (int i = 0; i < kNameCacheWays && victim == nullptr; i++) {
        if (set[i].state != kEmpty && set[i].addr == addr) {
            victim = &set[i];
        }
    }
    for (int i = 0; i < kNameCacheWays && victim == nullptr; i++) {
        if (set[i].state == kEmpty) {
            victim = &set[i];
        }
    }
    for (int i = 0; i < kNameCacheWays && victim == nullptr; i++) {
        if (!Fresh(set[i], now)) {
            victim = &set[i];
        }
    }
    if (victim == nullptr) {
        victim = &set[0];
        for (int i = 1; i < kNameCacheWays; i++) {
            if (set[i].used < victim->used) {
                victim = &set[i];
            }
        }
    }
    victim->addr = addr;
    victim->state = state;
    victim->stored = now;
    victim->used = ++cache.clock;
    if (state == kFound) {
        std::memcpy(victim->name, name, kHostNameSize);
    } else {
        victim->name[0] = '\0';
    }
}

// Cuts name at its first dot when what follows is the local domain, byte for
// byte.  A name that begins with its first dot is left whole, so that the
// sender's name never becomes empty.
void CutLocalDomain(char *name) {
    char *dot = std::strchr(name, '.');
    if (dot != nullptr && dot != name && std::strcmp(dot + 1, engine.mydomain) == 0) {
        *dot = '\0';
    }
}

}  // namespace

void NameCacheClearForTest() {
    std::lock_guard<std::mutex> guard(cache.lock);
    std::memset(cache.entries, 0, sizeof cache.entries);
    cache.clock = 0;
}

int NameCacheSetOf(uint32_t addr) {
    // Fibonacci hashing: every byte of the address reaches the top bits.
    static_assert(kNameCacheSets == 64, "the set index is the top six bits");
    return static_cast<int>((addr * 0x9E3779B1u) >> 26);
}

const char *cvthname(const SockAddrIn *from) {
    SockAddrText(from->addr, resultquad);
    LogEvent(Trace, "cvthname(%s)\n", resultquad);
    if (from->family != kAfInet) {
        LogEvent(Trace, "Malformed from address\n");
        return "???";
    }

    time_t now = ClockNow();
    uint8_t state = CacheFind(from->addr, now, resultname);
    if (state == kEmpty) {
        char name[kHostNameSize];
        // An empty official name is no name: the sender's name is never empty.
        if (ResolveAddress(from->addr, name, sizeof name) == 0 && name[0] != '\0') {
            name[kHostNameSize - 1] = '\0';
            std::memcpy(resultname, name, sizeof name);
            state = kFound;
        } else {
            state = kFailed;
        }
        CacheStore(from->addr, now, state, resultname);
    }
    if (state == kFailed) {
        LogEvent(Trace, "Host name for your address (%s) unknown\n", resultquad);
        return resultquad;
    }
    CutLocalDomain(resultname);
    return resultname;
}

int takeline(const char *sender, const char *datagram) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(datagram);
    int pri = kDefaultPri;
    if (*p == '<') {
        pri = 0;
        p++;
        while (*p >= '0' && *p <= '9') {
            // Saturates above the valid range, so that any number of digits
            // is simply out of range.
            if (pri <= kMaxPri) {
                pri = pri * 10 + (*p - '0');
            }
            p++;
        }
        if (*p == '>') {
            p++;
        }
    }
    if (pri < 0 || pri > kMaxPri) {
        pri = kDefaultPri;
    }
    if ((pri & 0x3f8) == 0) {
        pri = kUucpPri + (pri & 7);
    }

    char line[kLineSize];
    int n = 0;
    for (;; p++) {
        char c = static_cast<char>(*p & 0x7f);
        if (c == '\0' || n >= kLineLimit) {
            break;
        }
        if (c == '\n') {
            line[n++] = ' ';
        } else if (c < 0x20 || c == 0x7f) {
            line[n++] = '^';
            line[n++] = static_cast<char>(c ^ 0x40);
        } else {
            line[n++] = c;
        }
    }
    line[n] = '\0';

    logmsg(pri, line, sender, 0);
    return 0;
}
