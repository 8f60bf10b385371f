// Sender names: the reverse look-up of every datagram's sender, done so that
// the receive loop never waits for the name service.
//
// An answer the cache holds names the datagram at once.  Otherwise the
// datagram is copied into a fixed pool and waits there, behind the sender's
// earlier datagrams, while one of a few resolver threads asks the name
// service.  The answer, or the limit of kNameWaitMs, lets the sender's
// datagrams go on in the order they came: under the name found, or under the
// dotted quad (a failure, cached as any failure).  An answer that comes after
// the limit still fills the cache.  Datagrams of other senders are routed
// meanwhile.  A full pool lets its oldest datagram go at once under the
// dotted quad: nothing is ever dropped.
//
// Locks: engine.lock guards the cache, the pool and the look-up slots (the
// loop holds it for its batch; a resolver thread takes it to store an answer
// and hand out a sender's datagrams); the request queue has a lock of its
// own, the only one a resolver thread waits on.  No lock is held across a
// look-up.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "diag/debug.h"
#include "engine/names_testing.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/resolver.h"

namespace {

// Dotted quad: "255.255.255.255" and a NUL.
constexpr int kQuadSize = 16;
// Look-ups under way at once, asked by kResolverThreads threads, so that one
// slow look-up does not hold up the next.
constexpr int kLookupSlots = 64;
constexpr int kResolverThreads = 4;

// --- the cache of answers ---

// One remembered answer of the reverse look-up.  An entry is valid while
// stored <= now < stored + ttl; a clock set back makes it stale at once.
struct NameEntry {
    uint32_t addr;  // network byte order
    uint8_t state;  // kEmpty, kFound or kFailed
    time_t stored;
    uint64_t used;             // last use, for least-recently-used eviction
    char name[HOSTNAME_SIZE];  // official name, uncut (kFound only)
};
constexpr uint8_t kEmpty = 0;
constexpr uint8_t kFound = 1;
constexpr uint8_t kFailed = 2;

// Names are remembered for kNameTtl seconds, failures (which are the slow
// ones) for kFailureTtl.  The table is fixed; nothing is allocated.
// Set-associative, so a lookup touches kNameCacheWays entries and a burst of
// senders evicts only within one set.
struct NameCache {
    NameEntry entries[kNameCacheSets][kNameCacheWays];
    uint64_t clock;  // use counter
};
NameCache cache;

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
    NameEntry *set = cache.entries[NameCacheSetOf(addr)];
    for (int i = 0; i < kNameCacheWays; i++) {
        NameEntry &e = set[i];
        if (e.state != kEmpty && e.addr == addr && Fresh(e, now)) {
            e.used = ++cache.clock;
            if (e.state == kFound) {
                std::memcpy(out, e.name, HOSTNAME_SIZE);
            }
            return e.state;
        }
    }
    return kEmpty;
}

// Remembers an answer: in the entry already holding addr, else an empty one,
// else a stale one, else the least recently used of the set.
void CacheStore(uint32_t addr, time_t now, uint8_t state, const char *name) {
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
        std::memcpy(victim->name, name, HOSTNAME_SIZE);
    } else {
        victim->name[0] = '\0';
    }
}

// --- the waiting datagrams and the look-ups ---

// A datagram that waits for its sender's name.
struct Held {
    char text[MAXLINE + 1];  // up to its first NUL, as received
    int next;                // the sender's next one, or the next free slot; -1 none
    uint64_t seq;            // arrival order over all senders
};

// A look-up handed to the resolver threads.  busy from the request to the
// answer; waiting while datagrams of the sender wait for it (the limit ends
// the wait, not the look-up).
struct Lookup {
    uint32_t addr;
    bool busy;
    bool waiting;
    int64_t since;  // ms: when the first of the waiting datagrams came
    int head;       // the waiting datagrams in order; -1 none
    int tail;
};

// A request for the resolver threads: the slot and its address.
struct Request {
    int slot;
    uint32_t addr;
};

// What the resolver threads wait on and signal.  Never destroyed: the
// threads run for the life of the process and may still use it while the
// process ends.
struct Requests {
    std::mutex lock;
    std::condition_variable ready;
    Request ring[kLookupSlots];  // a busy slot is queued once at most
    int first = 0;
    int count = 0;
    std::condition_variable_any idle;  // a look-up has ended (for tests)
};

// Guarded by engine.lock, except waiters (also read without it, to skip the
// work when nothing waits).
struct Names {
    Held pool[kNamePoolDatagrams];  // allocated with the program, 4 MiB
    bool ready;                     // free list built
    int freehead;
    uint64_t seq;
    Lookup lookups[kLookupSlots];
    std::atomic<int> waiters;  // lookups with waiting set
    int busy;                  // lookups with busy set
    Requests *requests;        // made with the resolver threads
};
Names names;
std::once_flag threads_once;

void BuildPool() {
    for (int i = 0; i < kNamePoolDatagrams; i++) {
        names.pool[i].next = i + 1 < kNamePoolDatagrams ? i + 1 : -1;
    }
    names.freehead = 0;
    names.ready = true;
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

// Routes one datagram under the uncut name found (copied: the cut is made
// on the copy), or under the dotted quad when name is nullptr.
void RouteNamed(const char *name, const char *quad, const char *datagram) {
    if (name == nullptr) {
        LogEvent(Trace, "Host name for your address (%s) unknown\n", quad);
        takeline(quad, datagram);
        return;
    }
    char cut[HOSTNAME_SIZE];
    std::memcpy(cut, name, HOSTNAME_SIZE);
    CutLocalDomain(cut);
    takeline(cut, datagram);
}

// Routes the waiting datagrams of l in order and ends its wait.
void EndWait(Lookup *l, const char *name) {
    char quad[kQuadSize];
    SockAddrText(l->addr, quad);
    int i = l->head;
    l->head = l->tail = -1;
    l->waiting = false;
    names.waiters--;
    while (i >= 0) {
        Held &h = names.pool[i];
        RouteNamed(name, quad, h.text);
        int next = h.next;
        h.next = names.freehead;
        names.freehead = i;
        i = next;
    }
}

// The limit has passed: the look-up counts as failed, and the failure is
// remembered as any failure (a late answer will replace it).
void GiveUp(Lookup *l) {
    CacheStore(l->addr, ClockNow(), kFailed, nullptr);
    EndWait(l, nullptr);
}

// The pool is full: its oldest datagram goes at once under the dotted quad
// of its sender, whose later datagrams wait on.
void RouteOldest() {
    Lookup *oldest = nullptr;
    for (Lookup &l : names.lookups) {
        if (l.waiting && l.head >= 0 &&
            (oldest == nullptr || names.pool[l.head].seq < names.pool[oldest->head].seq)) {
            oldest = &l;
        }
    }
    int i = oldest->head;
    Held &h = names.pool[i];
    oldest->head = h.next;
    if (oldest->head < 0) {
        oldest->tail = -1;
    }
    h.next = names.freehead;
    names.freehead = i;
    char quad[kQuadSize];
    SockAddrText(oldest->addr, quad);
    RouteNamed(nullptr, quad, h.text);
}

void ResolverThread() {
    Requests &q = *names.requests;
    for (;;) {
        Request r;
        {
            std::unique_lock<std::mutex> guard(q.lock);
            q.ready.wait(guard, [&q] { return q.count > 0; });
            r = q.ring[q.first];
            q.first = (q.first + 1) % kLookupSlots;
            q.count--;
        }
        char name[HOSTNAME_SIZE];
        // An empty official name is no name: the sender's name is never empty.
        bool found = ResolveAddress(r.addr, name, sizeof name) == 0 && name[0] != '\0';
        name[HOSTNAME_SIZE - 1] = '\0';

        // Stored under the engine lock, so that the limit (NamesDue) and the
        // answer are told apart in one order: whichever comes first decides
        // how the waiting datagrams go; a later answer still fills the cache.
        EngineGuard guard;
        CacheStore(r.addr, ClockNow(), found ? kFound : kFailed, name);
        Lookup *l = &names.lookups[r.slot];
        if (l->waiting) {
            EndWait(l, found ? name : nullptr);
        }
        l->busy = false;
        names.busy--;
        q.idle.notify_all();
    }
}

void StartThreads() {
    names.requests = new Requests;  // kept for the life of the process
    for (int i = 0; i < kResolverThreads; i++) {
        std::thread(ResolverThread).detach();
    }
}

// The slot whose datagrams from addr wait, or nullptr.
Lookup *WaitingFor(uint32_t addr) {
    if (names.waiters == 0) {
        return nullptr;
    }
    for (Lookup &l : names.lookups) {
        if (l.waiting && l.addr == addr) {
            return &l;
        }
    }
    return nullptr;
}

// Begins a wait for the name of addr: on its look-up still under way (one
// whose wait ended and whose failure has gone stale since), or on a new one.
// nullptr when every slot is busy.
Lookup *StartWait(uint32_t addr) {
    Lookup *slot = nullptr;
    for (Lookup &l : names.lookups) {
        if (l.busy && l.addr == addr) {
            slot = &l;
            break;
        }
        if (!l.busy && slot == nullptr) {
            slot = &l;
        }
    }
    if (slot == nullptr) {
        return nullptr;
    }
    slot->waiting = true;
    slot->since = ClockMillis();
    slot->head = slot->tail = -1;
    names.waiters++;
    if (slot->busy) {
        return slot;
    }
    slot->busy = true;
    slot->addr = addr;
    names.busy++;
    std::call_once(threads_once, StartThreads);
    Requests &q = *names.requests;
    {
        std::lock_guard<std::mutex> guard(q.lock);
        q.ring[(q.first + q.count) % kLookupSlots] = {static_cast<int>(slot - names.lookups), addr};
        q.count++;
    }
    q.ready.notify_one();
    return slot;
}

// Copies datagram into the pool behind the waiting datagrams of l.
void Hold(Lookup *l, const char *datagram) {
    if (!names.ready) {
        BuildPool();
    }
    if (names.freehead < 0) {
        RouteOldest();
    }
    int i = names.freehead;
    Held &h = names.pool[i];
    names.freehead = h.next;
    size_t len = strnlen(datagram, MAXLINE);
    std::memcpy(h.text, datagram, len);
    h.text[len] = '\0';
    h.next = -1;
    h.seq = ++names.seq;
    if (l->tail >= 0) {
        names.pool[l->tail].next = i;
    } else {
        l->head = i;
    }
    l->tail = i;
}

// Milliseconds until the wait of l reaches its limit (0 once it has, or when
// the clock was set back behind its start).
int64_t Remaining(const Lookup &l, int64_t now) {
    if (now < l.since || now - l.since >= kNameWaitMs) {
        return 0;
    }
    return l.since + kNameWaitMs - now;
}

}  // namespace

void ReceiveDatagram(const SockAddrIn *from, const char *datagram) {
    EngineGuard guard;
    char quad[kQuadSize];
    SockAddrText(from->addr, quad);
    LogEvent(Trace, "cvthname(%s)\n", quad);
    if (from->family != kAfInet) {
        LogEvent(Trace, "Malformed from address\n");
        takeline("???", datagram);
        return;
    }
    Lookup *l = WaitingFor(from->addr);
    if (l == nullptr) {
        char name[HOSTNAME_SIZE];
        uint8_t state = CacheFind(from->addr, ClockNow(), name);
        if (state != kEmpty) {
            RouteNamed(state == kFound ? name : nullptr, quad, datagram);
            return;
        }
        l = StartWait(from->addr);
        if (l == nullptr) {
            // Every look-up slot is busy: the name service is far behind.
            // Not cached: the next datagram tries again.
            RouteNamed(nullptr, quad, datagram);
            return;
        }
    }
    Hold(l, datagram);
}

void NamesDue() {
    if (names.waiters == 0) {
        return;
    }
    EngineGuard guard;
    int64_t now = ClockMillis();
    for (Lookup &l : names.lookups) {
        if (l.waiting && Remaining(l, now) == 0) {
            GiveUp(&l);
        }
    }
}

int NamesWaitMs() {
    if (names.waiters == 0) {
        return -1;
    }
    EngineGuard guard;
    int64_t now = ClockMillis();
    int64_t wait = -1;
    for (const Lookup &l : names.lookups) {
        if (l.waiting && (wait < 0 || Remaining(l, now) < wait)) {
            wait = Remaining(l, now);
        }
    }
    return static_cast<int>(wait);
}

void NamesFlush() {
    EngineGuard guard;
    for (Lookup &l : names.lookups) {
        if (l.waiting) {
            GiveUp(&l);
        }
    }
}

int NameCacheSetOf(uint32_t addr) {
    // Fibonacci hashing: every byte of the address reaches the top bits.
    static_assert(kNameCacheSets == 64, "the set index is the top six bits");
    return static_cast<int>((addr * 0x9E3779B1u) >> 26);
}

int NamesIdleForTest(int timeout_ms) {
    std::unique_lock<std::recursive_mutex> guard(engine.lock);
    if (names.requests == nullptr) {
        return 0;  // no look-up was ever asked for
    }
    bool idle = names.requests->idle.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                              [] { return names.busy == 0; });
    return idle ? 0 : -1;
}

void NamesResetForTest() {
    NamesIdleForTest(10000);
    EngineGuard guard;
    for (Lookup &l : names.lookups) {
        l = Lookup{};
    }
    names.waiters = 0;
    names.busy = 0;
    names.ready = false;
    names.seq = 0;
    std::memset(cache.entries, 0, sizeof cache.entries);
    cache.clock = 0;
}
