// The receive loop and the daemon's lifecycle: start-up, one receive batch
// per iteration, the orderly stop, the signal exit and the engine's own error
// messages.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "diag/debug.h"
#include "diag/errtext.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/textfile.h"
#include "service/service.h"
#include "service/settings.h"
#include "timer/vtm_driver.h"

namespace {

// The receive buffer the syslog socket asks for, so that a burst or one slow
// name look-up loses nothing.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// When no socket could be made every wait fails at once: pause between the
// reports instead of spinning.
constexpr unsigned kNoSocketPauseMs = 1000;
// How long the signal exit tries for the engine lock (a faulting thread may
// hold it and never come back): attempts a few milliseconds apart.
constexpr int kQuitLockAttempts = 200;
constexpr unsigned kQuitLockPauseMs = 10;

char logdir_failure[2 * 256 + 64];
bool logdir_failed = false;

// Orders the start of the timer pool and a stop: a stop that comes first
// keeps the engine from starting, one that comes later stops a pool that
// has started.
std::mutex startstop;

// A stop requested before the engine runs: traced, and the run ends.
bool StopBeforeStart() {
    if (engine.stoprequested == 0) {
        return false;
    }
    LogEvent(Trace, "stop requested before the engine started\n");
    return true;
}

// Writes every target's pending "last message repeated" line.  The caller
// holds engine.lock.
void FlushRepeats() {
    for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        if (t->repeats != 0) {
            writetarget(t, 0, nullptr);
        }
    }
}

// A wait or receive that failed because the stop closed the socket: traced
// only, as a normal end.
bool EndedByStop(const char *call, unsigned long code) {
    if (engine.stoprequested == 0) {
        return false;
    }
    LogEvent(Trace, "%s ended by the stop (error %lu)\n", call, code);
    return true;
}

// Local host name, cut at its first dot; the rest is the local domain.
void ReadHostName() {
    LocalHostName(engine.myhostname, sizeof engine.myhostname);
    char *dot = std::strchr(engine.myhostname, '.');
    if (dot != nullptr) {
        *dot = '\0';
        std::snprintf(engine.mydomain, sizeof engine.mydomain, "%s", dot + 1);
    } else {
        engine.mydomain[0] = '\0';
    }
}

// Opens and binds the syslog socket.  Returns only when the service is known.
void OpenSyslogSocket() {
    SockHandle s = SockUdp();
    engine.logsock = s;
    if (s == kInvalidSocket) {
        return;
    }
    uint16_t port = 0;
    if (SockServicePort("syslog", "udp", &port) != 0) {
        errno = 0;
        reporterr("syslog/udp: unknown service");
        quitsig(0);
    }
    engine.syslogport = port;
    SockAddrIn local = {};
    local.family = kAfInet;
    local.port = port;
    local.addr = 0;  // INADDR_ANY
    int granted = SockSetReceiveBuffer(s, kReceiveBufferBytes);
    LogEvent(Trace, "receive buffer: %d bytes\n", granted);
    if (SockBind(s, &local) != 0) {
        TraceSysError(PlatformLastError(), __FILE__, __LINE__);
        reporterr("bind");
        return;
    }
    engine.portbound = 1;
    LogEvent(Trace, "listening on syslog UDP port\n");
}

void WritePidFile() {
    FILE *f = TextOpen(settings.pidfile, "w");
    if (f == nullptr) {
        return;
    }
    std::fprintf(f, "%lu\n", ProcessId());
    std::fclose(f);
}

void OnSignal(int sig) {
    quitsig(sig);
}

// The pause an iteration asked for after a failure, taken once it has let
// the engine lock go and before the stop flag is tested again.
void TakePause(unsigned *ms) {
    if (*ms != 0) {
        SleepMs(*ms);
        *ms = 0;
    }
}

}  // namespace

const char *LogDirFailure() {
    return logdir_failed ? logdir_failure : nullptr;
}

void rundaemon() {
    logdir_failed = false;
    if (StopBeforeStart()) {
        return;
    }
    if (ChangeDirectory(settings.logdir) != 0) {
        const char *text = RuntimeErrorText(errno);
        std::snprintf(logdir_failure, sizeof logdir_failure, "cannot enter log directory %s: %s",
                      settings.logdir, text != nullptr ? text : "unknown error");
        logdir_failed = true;
        LogEvent(Error, "%s\n", logdir_failure);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(startstop);
        if (StopBeforeStart()) {
            return;
        }
        tm_start();
    }
    tarnwick_loop();
}

int tarnwick_loop() {
    LogEvent(Trace, "going into tarnwick_loop ...\n");
    engine.constarget.kind = TargetKind::CONSOLE;
    std::snprintf(engine.constarget.dest.filename, sizeof engine.constarget.dest.filename, "%s",
                  consdev);
    ReadHostName();
    engine.marktimer = tm_settimer(kMarkTickSeconds, marktick, 0, 0, 16);
    for (int sig : {SIGTERM, SIGINT, SIGABRT, SIGFPE, SIGILL, SIGSEGV}) {
        SignalSet(sig, OnSignal);
    }
    OpenSyslogSocket();
    WritePidFile();
    LogEvent(Trace, "off & running....\n");
    init();
    UpdateServiceStatus(kServiceRunning);

    // One receive batch per iteration, its datagrams routed under one hold of
    // the engine lock, so that each file takes the batch's lines with one
    // write.  A datagram is at most MAXLINE bytes and a NUL behind them.  The
    // wait ends in time for the next datagram whose sender's name is overdue.
    char buf[MAXLINE + 1];
    unsigned pause = 0;
    for (; engine.stoprequested == 0; TakePause(&pause)) {
        SockHandle s = engine.logsock;
        errno = 0;
        // Asked before the trace, so that an answer coming between the two
        // leaves a bounded wait, whose end is traced behind the answer.
        int wait = NamesWaitMs();
        LogEvent(Trace, "readfds = %#x\n", 1);
        int n = SockWaitReadable(s, wait);
        EngineGuard batch;
        NamesDue();
        if (n == 0) {
            continue;
        }
        if (n < 0) {
            unsigned long code = PlatformLastError();
            if (EndedByStop("select", code)) {
                continue;
            }
            TraceSysError(code, __FILE__, __LINE__);
            if (code != kWsaEintr) {
                reporterr("select");
            }
            if (s == kInvalidSocket) {
                pause = kNoSocketPauseMs;
            }
            continue;
        }
        for (bool first = true;; first = false) {
            if (!first) {
                // The trace of a datagram is the same as with a wait of its own.
                LogEvent(Trace, "readfds = %#x\n", 1);
            }
            LogEvent(Trace, "got a message (%d, %#x)\n", n, 1);
            SockAddrIn from;
            int truncated = 0;
            int len = SockReceive(s, buf, MAXLINE, &from, &truncated);
            if (len > 0) {
                buf[len] = '\0';
                if (truncated != 0) {
                    LogEvent(Trace, "datagram longer than %d bytes: cut to its first %d\n", MAXLINE,
                             len);
                }
                ReceiveDatagram(&from, buf);
            } else if (len < 0) {
                unsigned long code = PlatformLastError();
                if (code == kWsaEintr || EndedByStop("recvfrom", code)) {
                    break;
                }
                TraceSysError(code, __FILE__, __LINE__);
                reporterr("recvfrom inet");
                pause = 10;
            }
            if (SockBatchPending(s) == 0) {
                break;
            }
        }
    }
    // A datagram taken just before the stop may have been routed after its
    // flush, or still wait for its sender's name; a stop during the start-up
    // may have come before the socket.
    EngineGuard guard;
    NamesFlush();
    FlushRepeats();
    SockClose(engine.logsock.exchange(kInvalidSocket));
    return 0;
}

void stopdaemon() {
    LogEvent(Trace, "Terminating All Active Threads.....\n");
    {
        std::lock_guard<std::mutex> guard(startstop);
        engine.stoprequested = 1;
        tm_stop();
    }
    UpdateServiceStatus(kServiceStopPending);
    // The pending repeat lines go out while the socket still sends (to
    // forwarding targets).  Once closed, the engine keeps no number of the
    // socket: the next file or socket opened may be given it.
    EngineGuard guard;
    NamesFlush();
    FlushRepeats();
    SockClose(engine.logsock.exchange(kInvalidSocket));
}

int reporterr(const char *text) {
    char buf[ERRBUF_SIZE];
    int err = errno;
    if (err == 0) {
        std::snprintf(buf, sizeof buf, "tarnwick: %s", text);
    } else if (const char *desc = RuntimeErrorText(err); desc != nullptr) {
        std::snprintf(buf, sizeof buf, "tarnwick: %s: %s", text, desc);
    } else {
        std::snprintf(buf, sizeof buf, "tarnwick: %s: error %d", text, err);
    }
    errno = 0;
    LogEvent(Trace, "%s\n", buf);
    if (engine.check != nullptr) {
        engine.check->refused(engine.check->line, buf);
    }
    logmsg(43, buf, engine.myhostname, LM_STAMP);
    return 0;
}

void quitsig(int sig) {
    // When a faulting thread holds the engine lock and never returns, the
    // targets cannot be written safely: the exit is then traced only.  Once
    // taken, the lock is held until the process has ended, so that no other
    // thread writes a line after the exit message; from here on, the others
    // wait in EngineGuard instead of taking it again.
    engine.quitter.store(std::this_thread::get_id());
    bool locked = false;
    for (int i = 0; i < kQuitLockAttempts && !(locked = engine.lock.try_lock()); ++i) {
        SleepMs(kQuitLockPauseMs);
    }
    if (locked) {
        NamesFlush();
        FlushRepeats();
    }
    if (sig != 0) {
        LogEvent(Trace, "tarnwick: exiting on signal %d\n", sig);
        if (locked) {
            char buf[ERRBUF_SIZE];
            std::snprintf(buf, sizeof buf, "exiting on signal %d", sig);
            errno = 0;
            reporterr(buf);
        }
    }
    if (locked) {
        // The lock is never let go: what this thread's holds gathered goes now.
        FlushOutput();
    }
    // A fatal start-up error and the fault signals are failures.
    bool failure = sig == 0 || sig == SIGABRT || sig == SIGFPE || sig == SIGILL || sig == SIGSEGV;
    ProcessExit(failure ? 1 : 0);
}
