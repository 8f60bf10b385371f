// Target output: lines for daily log files, gathered while the engine lock
// is held and written with one write per file when its outermost hold ends;
// lines to a terminal or console device and datagrams to a forwarding host,
// at once.  The only code that touches log files, devices and the forwarding
// socket.  Callers hold engine.lock.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "diag/dailyname.h"
#include "diag/debug.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "platform/textfile.h"

namespace {

// Writes to a console or terminal device that keep failing after successful
// reopens are tried this many times in all; then the target is disabled and
// reported.
constexpr int kDeviceAttempts = 4;

// The guards this thread holds, and the pause of a thread that waits for the
// signal exit to end the process.
thread_local int guards_held = 0;
constexpr unsigned kParkedPauseMs = 1000;

// A forwarded datagram: "<" level "> " text "\n", at most this long.
constexpr int kDatagramMax = MAXLINE;

// A name in a failure report is shown whole up to this length: behind
// "tarnwick: ", the name and ": ", 27 characters remain for the reason.
constexpr int kNameShownWhole = 60;

// The lines of one hold, in their disk form: a receive batch of 32 datagrams
// to 50 files fits many times over.  When full, what is gathered is written
// early, whole lines only.
constexpr size_t kArenaBytes = 256 * 1024;
constexpr int kMaxLines = 4096;
// A text is cut to this many bytes, so that its line fits the arena.  (No
// text of the engine comes near it.)
constexpr size_t kTextMax = 16 * 1024;

// One gathered line.
struct GatheredLine {
    LogTarget *target;  // nullptr once written
    // The order of routing (even numbers).  The report of a failed write
    // takes the odd number behind that write's first line, so that in the
    // other files it comes where it would have come had the line been
    // written at once.
    uint32_t seq;
    uint32_t off;  // in the arena
    uint32_t len;
    int32_t next;  // the target's next line (record number from 1), or 0
};

// Everything output keeps between calls, allocated once.
struct OutputState {
    char arena[kArenaBytes];
    GatheredLine lines[kMaxLines];
    TextPiece pieces[kMaxLines];  // one target's write
    int count;                    // records in use
    int done;                     // records before this one are written
    size_t used;                  // arena bytes in use
    uint32_t seq;                 // the last order given
    uint32_t reportseq;           // while a failed write reports, the order of its lines
    bool flushstdio;              // a gathered line asked for LM_FLUSH
    uint32_t hold;                // counts the outermost holds of engine.lock
    bool datevalid;               // date is that of datefor
    time_t datefor;
    int32_t date;  // local date of datefor, yyyymmdd
};
OutputState out = {};

// The local date of now as yyyymmdd, worked out once a second.
int32_t LocalDate(time_t now) {
    if (!out.datevalid || now != out.datefor) {
        struct tm tm;
        ClockLocal(now, &tm);
        out.date = (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
        out.datefor = now;
        out.datevalid = true;
    }
    return out.date;
}

// t's daily file name for the local date date (yyyymmdd).
void DailyName(const LogTarget *t, int32_t date, char *name) {
    struct tm tm = {};
    tm.tm_year = date / 10000 - 1900;
    tm.tm_mon = date / 100 % 100 - 1;
    tm.tm_mday = date % 100;
    DailyFileName(t->dest.filename, tm, name);
}

void CloseFd(LogTarget *t) {
    if (t->fd >= 0) {
        TextClose(t->fd);
    }
    t->fd = -1;
}

// Disables t and reports its path with the error number err.
void Disable(LogTarget *t, int err) {
    t->kind = TargetKind::UNUSED;
    ReportNamed(t->dest.filename, err, nullptr);
}

// Writes t's gathered lines to its file, in order, with one write.  A failed
// or short write leaves nothing of them (TextAppendDisk), disables t and
// reports it.
void FlushTarget(LogTarget *t) {
    if (t->pendfirst == 0) {
        return;
    }
    uint32_t firstseq = out.lines[t->pendfirst - 1].seq;
    int n = 0;
    for (int32_t r = t->pendfirst; r != 0; r = out.lines[r - 1].next) {
        GatheredLine &g = out.lines[r - 1];
        g.target = nullptr;
        const char *data = out.arena + g.off;
        // Lines next to each other in the arena go as one piece.
        if (n > 0 && out.pieces[n - 1].data + out.pieces[n - 1].len == data) {
            out.pieces[n - 1].len += g.len;
        } else {
            out.pieces[n++] = {data, g.len};
        }
    }
    t->pendfirst = t->pendlast = 0;
    if (TextAppendDisk(t->fd, out.pieces, n) == 0) {
        return;
    }
    int err = errno;
    CloseFd(t);
    uint32_t saved = out.reportseq;
    out.reportseq = firstseq | 1;
    Disable(t, err);
    out.reportseq = saved;
}

// Links record r (from 1) into t's lines by its order.
void Link(LogTarget *t, int32_t r) {
    GatheredLine &g = out.lines[r - 1];
    g.next = 0;
    if (t->pendfirst == 0) {
        t->pendfirst = t->pendlast = r;
        return;
    }
    if (out.lines[t->pendlast - 1].seq <= g.seq) {
        out.lines[t->pendlast - 1].next = r;
        t->pendlast = r;
        return;
    }
    int32_t *at = &t->pendfirst;
    while (out.lines[*at - 1].seq <= g.seq) {
        at = &out.lines[*at - 1].next;
    }
    g.next = *at;
    *at = r;
}

// Opens t's file for now unless the open one still serves: of the same day,
// and its name seen to lead to it once in this hold, before the hold's first
// line for it (so that a file moved away or deleted before a datagram was
// sent never gets that datagram's line).  Returns 0, or -1 when t was
// disabled.
int ReadyFile(LogTarget *t, time_t now) {
    int32_t date = LocalDate(now);
    if (t->fd >= 0 && t->day == date) {
        if (t->checked == out.hold) {
            return 0;
        }
        t->checked = out.hold;
        char name[DAILYNAME_SIZE];
        DailyName(t, date, name);
        if (TextNamesFile(name, t->fd) != 0) {
            return 0;
        }
    }
    // The old day's lines to the old file, then the new day's.
    FlushTarget(t);
    CloseFd(t);
    char name[DAILYNAME_SIZE];
    int fd = OpenDailyFile(t, now, name);
    LogEvent(Trace, "Log<%s> opened\n", name);
    if (fd < 0) {
        // Report the reason the file could not be opened, rather than that
        // of a write to no descriptor.
        Disable(t, errno);
        return -1;
    }
    return 0;
}

// FILE: the five pieces and a line end, gathered for t's file of the day.
void GatherLine(LogTarget *t, int flags, const TextPiece *pieces, time_t now) {
    LogEvent(Trace, " %s\n", t->dest.filename);
    if (ReadyFile(t, now) != 0) {
        return;
    }
    size_t need = 2;
    for (int i = 0; i < 5; ++i) {
        need += 2 * pieces[i].len;
    }
    if (out.count == kMaxLines || out.used + need > kArenaBytes) {
        FlushOutput();
    }
    char *dst = out.arena + out.used;
    size_t len = 0;
    for (int i = 0; i < 5; ++i) {
        len += TextDiskForm(dst + len, pieces[i].data, pieces[i].len);
    }
    dst[len++] = '\r';
    dst[len++] = '\n';
    GatheredLine &g = out.lines[out.count++];
    g.target = t;
    g.seq = out.reportseq != 0 ? out.reportseq : (out.seq += 2);
    g.off = static_cast<uint32_t>(out.used);
    g.len = static_cast<uint32_t>(len);
    out.used += len;
    Link(t, out.count);
    if ((flags & LM_FLUSH) != 0) {
        out.flushstdio = true;
    }
}

// TTY and CONSOLE: the six pieces to the device, at once; a failed write
// reopens the device and writes the whole line again, a few times.
void WriteLine(LogTarget *t, int flags, TextPiece *pieces, time_t now) {
    pieces[5] = TextPiece{"\r\n", 2};
    for (int attempt = 1;; ++attempt) {
        LogEvent(Trace, " %s\n", t->dest.filename);
        if (writepieces(t->fd, pieces, 6) == 6) {
            if ((flags & LM_FLUSH) != 0) {
                std::fflush(nullptr);
            }
            return;
        }
        int err = errno;
        CloseFd(t);
        if (err == 0) {
            Disable(t, err);
            return;
        }
        if (attempt >= kDeviceAttempts) {
            LogEvent(Trace, "%s: %d failed writes, giving up\n", t->dest.filename, attempt);
            Disable(t, err);
            return;
        }
        int fd = TextOpenAppend(t->dest.filename, false);
        if (fd < 0) {
            Disable(t, errno);
            return;
        }
        t->fd = static_cast<int16_t>(fd);
        // The whole line again, on the reopened device.
        LogEvent(Trace, "Logging to %s", KindName(t->kind));
        t->lastwrite = static_cast<int32_t>(now);
    }
}

// FORW: "<" level "> " text "\n" from logsock to the forwarding address.
void Forward(LogTarget *t, const TextPiece &text) {
    LogEvent(Trace, " %s\n", t->dest.forw.forwhost);
    char datagram[kDatagramMax];
    datagram[0] = '<';
    datagram[1] = static_cast<char>('0' + (t->savedpri & 7));
    datagram[2] = '>';
    datagram[3] = ' ';
    int len = 4;
    size_t room = kDatagramMax - len;
    size_t n = text.len < room ? text.len : room;
    std::memcpy(datagram + len, text.data, n);
    len += static_cast<int>(n);
    if (len < kDatagramMax) {
        datagram[len++] = '\n';
    }
    errno = 0;
    int sent = SockSend(engine.logsock, datagram, len, &t->dest.forw.forwaddr);
    if (sent != len) {
        int err = errno;
        t->kind = TargetKind::UNUSED;
        errno = err;
        reporterr("sendto");
    }
}

}  // namespace

const char *KindName(TargetKind kind) {
    int k = static_cast<int>(kind);
    return k >= 0 && k <= static_cast<int>(TargetKind::WALL) ? kindnames[k] : "?";
}

void ReportNamed(const char *name, int err, const char *why) {
    char shown[kNameShownWhole + 1];
    if (std::strlen(name) <= static_cast<size_t>(kNameShownWhole)) {
        std::snprintf(shown, sizeof shown, "%s", name);
    } else {
        std::snprintf(shown, sizeof shown, "%.*s...", kNameShownWhole - 3, name);
    }
    if (why == nullptr) {
        errno = err;
        reporterr(shown);
        return;
    }
    char text[ERRBUF_SIZE];
    std::snprintf(text, sizeof text, "%s: %s", shown, why);
    errno = 0;
    reporterr(text);
}

int writepieces(int fd, const TextPiece *pieces, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].len;
    }
    long written = TextWritePieces(fd, pieces, count);
    if (written < 0 || static_cast<size_t>(written) != total) {
        return -1;
    }
    return count;
}

EngineGuard::EngineGuard() {
    // Once the signal exit has begun, a thread that would take the lock anew
    // waits for the end: however busy, it cannot keep the exit from the lock,
    // nor write a line after the exit message.
    std::thread::id quitter = engine.quitter.load();
    if (guards_held == 0 && quitter != std::thread::id() && quitter != std::this_thread::get_id()) {
        for (;;) {
            SleepMs(kParkedPauseMs);
        }
    }
    engine.lock.lock();
    ++guards_held;
    ++engine.lockdepth;
}

EngineGuard::~EngineGuard() {
    if (engine.lockdepth == 1) {
        FlushOutput();
        ++out.hold;
    }
    --engine.lockdepth;
    --guards_held;
    engine.lock.unlock();
}

void FlushOutput() {
    while (out.done < out.count) {
        LogTarget *t = out.lines[out.done].target;
        if (t == nullptr) {
            ++out.done;
        } else {
            FlushTarget(t);
        }
    }
    out.count = out.done = 0;
    out.used = 0;
    if (out.flushstdio) {
        out.flushstdio = false;
        std::fflush(nullptr);
    }
}

int OpenDailyFile(LogTarget *t, time_t now, char *name) {
    int32_t date = LocalDate(now);
    DailyName(t, date, name);
    int fd = TextOpenLog(name);
    t->fd = static_cast<int16_t>(fd);
    t->day = date;
    t->checked = out.hold;
    return fd;
}

void OutputResetForTest() {
    for (int i = 0; i < out.count; ++i) {
        if (out.lines[i].target != nullptr) {
            out.lines[i].target->pendfirst = out.lines[i].target->pendlast = 0;
        }
    }
    out.count = out.done = 0;
    out.used = 0;
    out.reportseq = 0;
    out.flushstdio = false;
    out.datevalid = false;
}

void writetarget(LogTarget *t, int flags, const char *text) {
    time_t now = ClockNow();
    char repeatline[64];
    TextPiece pieces[6];
    pieces[0] = {t->savedstamp, STAMP_SIZE - 1};
    pieces[1] = {" ", 1};
    pieces[2] = {t->savedhost, strnlen(t->savedhost, sizeof t->savedhost)};
    pieces[3] = {" ", 1};
    if (text != nullptr) {
        size_t len = std::strlen(text);
        pieces[4] = {text, len < kTextMax ? len : kTextMax};
    } else if (t->repeats > 1) {
        int n = std::snprintf(repeatline, sizeof repeatline, "last message repeated %d times",
                              t->repeats);
        pieces[4] = {repeatline, static_cast<size_t>(n)};
    } else {
        // Nothing kept (SAVEDLEN_NOTKEPT) writes an empty text.
        size_t kept = t->savedlen > 0 ? static_cast<size_t>(t->savedlen) : 0;
        if (kept > sizeof t->savedline) {
            kept = sizeof t->savedline;
        }
        pieces[4] = {t->savedline, strnlen(t->savedline, kept)};
    }
    pieces[5] = {"", 0};

    LogEvent(Trace, "Logging to %s", KindName(t->kind));
    t->lastwrite = static_cast<int32_t>(now);
    switch (t->kind) {
        case TargetKind::CONSOLE:
            if ((flags & LM_NOCONSOLE) != 0) {
                LogEvent(Trace, " (ignored)\n");
                break;
            }
            WriteLine(t, flags, pieces, now);
            break;
        case TargetKind::FILE:
            GatherLine(t, flags, pieces, now);
            break;
        case TargetKind::TTY:
            WriteLine(t, flags, pieces, now);
            break;
        case TargetKind::FORW:
            Forward(t, pieces[4]);
            break;
        case TargetKind::UNUSED:
        case TargetKind::USERS:
        case TargetKind::WALL:
        default:
            LogEvent(Trace, "\n");
            break;
    }
    t->repeats = 0;
}
