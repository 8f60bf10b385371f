// The log engine: receive loop, decoding, rule table, routing, output and the
// mark tick, over one process-wide state (engine).
//
// Threads: the loop thread runs rundaemon and everything below it; the timer
// thread runs marktick; the control thread runs stopdaemon and a reload
// (init).  Routing, the tick, a reload, the stop and the signal exit
// serialise on the engine lock, which is recursive so that an output error
// reported during a write (writetarget -> reporterr -> logmsg) can route
// again.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>

#include "engine/logtarget.h"
#include "platform/sockets.h"

// Size of the receive buffer: a datagram of up to 1024 bytes and a NUL.
constexpr int MAXLINE = 1024;
// reporterr and quitsig compose their texts in buffers of this size.
constexpr int ERRBUF_SIZE = 100;

// The rule parser's check mode (tarnwick-check), while engine.check is set:
// init opens no log file and routes nothing ("restart" included), and a rule
// file it cannot open or read leaves readerror set instead of the built-in
// rules; a file target's daily file is named, not created, and its folder
// must exist and be writable; a forward is looked up whether or not the
// socket is bound.  reporterr hands every text to refused, with the physical
// line of the rule being parsed.
struct RuleCheck {
    void (*refused)(int line, const char *text);
    int line;       // from 1
    int readerror;  // errno of the failed open or read; 0 when the file was read
};

struct EngineState {
    // Cleared at the start of a run (ServiceMain, RunConsole), set to 1 by
    // stopdaemon; read by rundaemon, by the loop at the top of every
    // iteration and by the timer tick.
    std::atomic<int> stoprequested{0};
    int portbound = 0;        // 1 once the syslog socket is bound
    uint16_t syslogport = 0;  // network byte order
    // The syslog socket; kInvalidSocket before it is made and once closed.
    std::atomic<SockHandle> logsock{kInvalidSocket};
    char myhostname[129] = {};  // local host name, cut at its first dot
    char mydomain[129] = {};    // what followed that dot
    int marktimer = -1;         // the mark timer's id

    LogTarget *targets = nullptr;  // the rule list
    int rulesready = 0;            // 1 while the list is complete
    int verbose = 1;               // prints the parser's lines and the listing
    RuleCheck *check = nullptr;    // check mode, see RuleCheck
    LogTarget constarget = {};     // console target used while no rules are in force
    int markelapsed = 0;           // seconds counted towards the next MARK
    // The last time stamp made (MakeStamp), the text of stampfor.
    int stampvalid = 0;
    time_t stampfor = 0;
    char stamp[STAMP_SIZE] = {};

    // Serialises routing, the tick, a reload, the stop and the signal exit.
    // Taken through EngineGuard; lockdepth counts the holder's guards.
    std::recursive_mutex lock;
    int lockdepth = 0;
    // The thread in the signal exit, once it has begun: any other thread that
    // does not hold the lock then waits in EngineGuard for the process to end.
    std::atomic<std::thread::id> quitter{};
};

extern EngineState engine;

// Closes the targets' descriptors and frees every record, writing nothing
// (a reload writes the pending repeats first).  Callers hold engine.lock.
void DropTargets();

// Holds engine.lock for a scope.  Lines for daily files are gathered while
// the lock is held and written when the holder's outermost guard ends, before
// the lock is let go (one write per file): nothing gathered outlives the
// outermost hold, so nothing stays unwritten across a wait, a stop, a signal
// exit, a reload or a tick.
class EngineGuard {
  public:
    EngineGuard();
    ~EngineGuard();
    EngineGuard(const EngineGuard &) = delete;
    EngineGuard &operator=(const EngineGuard &) = delete;
};

// The console device: empty, so nothing reaches a console while no rule table
// is in force.
extern const char consdev[];

// --- receive loop and lifecycle ---

// Enters the log directory, starts the timer pool and runs tarnwick_loop.
// Returns when the loop has ended after a stop, or at once when the log
// directory cannot be entered (traced as an Error; see LogDirFailure) or a
// stop was requested before the timer pool started (then never started).
void rundaemon();
// Start-up, then one receive batch per iteration, routed under one hold of
// the engine lock (EngineGuard), until stoprequested.  A wait or receive that
// fails because of the stop is traced, not reported.  On its way out it
// routes the datagrams still waiting for a name (NamesFlush),
// writes the pending repeat lines a late datagram left and closes a socket
// made after the stop.  Returns 0.
int tarnwick_loop();
// The orderly stop, from another thread: sets stoprequested, stops the timer
// pool, reports SERVICE_STOP_PENDING, then under the engine lock routes the
// datagrams waiting for a name, writes the pending repeat lines and closes
// the socket, which wakes the loop; logsock
// is kInvalidSocket from then on.  Does not wait for the loop.
void stopdaemon();
// Logs the daemon's own error "tarnwick: <text>" (with errno's text or number
// when errno is set) as syslog.err from the local host.  Returns 0.
int reporterr(const char *text);
// The abrupt exit: routes the datagrams waiting for a name, writes pending
// repeat lines, logs "exiting on signal %d"
// (when sig is not 0) and ends the process, holding the engine lock to the
// end: status 0 for SIGTERM and SIGINT, 1 for a fatal start-up error (sig 0)
// and the fault signals.
[[noreturn]] void quitsig(int sig);
// When rundaemon's last call could not enter the log directory: the sentence
// that says so ("cannot enter log directory <dir>: <error text>"), also
// traced as an Error.  nullptr when it could.
const char *LogDirFailure();

// --- sender names and decoding ---

// The cache of reverse look-ups: kNameCacheSets sets of kNameCacheWays
// entries keyed by the IPv4 address; a name is kept kNameTtl seconds, a
// failure kFailureTtl seconds (ClockNow).  A datagram waits at most
// kNameWaitMs for its sender's name (ClockMillis), in a pool of
// kNamePoolDatagrams.
constexpr int kNameCacheSets = 64;
constexpr int kNameCacheWays = 4;
constexpr int kNameTtl = 300;
constexpr int kFailureTtl = 60;
constexpr int kNameWaitMs = 2000;
constexpr int kNamePoolDatagrams = 4096;

// Hands one received NUL-terminated datagram to takeline under its sender's
// name: the reverse look-up's name (cut at its first dot when the rest is
// mydomain), the dotted quad when there is none, "???" for another family
// than AF_INET.  Answers are cached.  Never waits for the name service: a
// datagram whose sender's name is not known yet is copied and waits, behind
// that sender's earlier ones, until a resolver thread has the answer or
// NamesDue finds the limit (2 s) passed.  Takes engine.lock (the loop may
// hold it already).
void ReceiveDatagram(const SockAddrIn *from, const char *datagram);
// Routes, under their dotted quads, the waiting datagrams whose sender's
// look-up has reached the limit, and remembers those look-ups as failed.
void NamesDue();
// Milliseconds until the next limit (0 when one has passed), or -1 when no
// datagram waits: the longest the loop may wait for the socket.
int NamesWaitMs();
// Routes every waiting datagram at once under its dotted quad (the stop and
// the signal exit: nothing received is lost).
void NamesFlush();
// Decodes one NUL-terminated datagram (priority part, 7-bit one-line text)
// and routes it with logmsg.  Returns 0.
int takeline(const char *sender, const char *datagram);

// --- rule table ---

// Loads the rule file into a new list, replacing the old one.  Returns 0.
int init();
// Parses one rule line into a zero-filled target.
void cfline(const char *line, LogTarget *target);
// The value of name in table, or -1.
int namecode(const char *name, const CodeName *table);

// --- routing and output ---

// Routes one message to every matching target.
void logmsg(int pri, const char *msg, const char *from, int flags);
// Writes one line for one target (text, or the kept line / repeat line when
// text is null); sets lastwrite and clears repeats.  The caller holds the
// engine lock (EngineGuard): a file's line is written when the outermost
// hold ends.
void writetarget(LogTarget *target, int flags, const char *text);

// --- tick ---

// The mark timer's callback: MARK every 1200 counted seconds, timed flush of
// pending repeats.  The receive loop registers it with the period
// kMarkTickSeconds, and each call counts that many seconds, whatever time has
// really passed.
constexpr int kMarkTickSeconds = 30;
void marktick(uint32_t id, uint32_t msg, uintptr_t arg, uint32_t key, uintptr_t reserved);
