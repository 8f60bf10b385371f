// Target output: one line to a daily log file, a terminal or console device,
// or a forwarding host.  The only code that touches log files, devices and
// the forwarding socket.  Callers hold engine.lock.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/debug.h"
#include "engine/route.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "platform/textfile.h"

namespace {

// Writes to a console or terminal device that keep failing after successful
// reopens are tried this many times in all; then the target is disabled and
// reported.
constexpr int kDeviceAttempts = 4;

// A daily file name: the rule's path (at most 199 characters), "_YYYYMMDD.LOG".
constexpr size_t kDailyNameSize = FILENAME_SIZE + 64;

// A forwarded datagram: "<" level "> " text "\n", at most this long.
constexpr int kDatagramMax = MAXLINE;

// A name in a failure report is shown whole up to this length: behind
// "tarnwick: ", the name and ": ", 27 characters remain for the reason.
constexpr int kNameShownWhole = 60;

// The target's path with the local date of now: "%s_%04d%02d%02d.LOG".
void DailyName(const LogTarget *t, time_t now, char *out, size_t size) {
    struct tm tm;
    ClockLocal(now, &tm);
    std::snprintf(out, size, "%s_%04d%02d%02d.LOG", t->dest.filename, tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday);
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

// FILE, TTY and CONSOLE: the six pieces to the file of the day or the device.
void WriteLine(LogTarget *t, int flags, TextPiece *pieces, time_t now) {
    const bool file = t->kind == TargetKind::FILE;
    pieces[5] = file ? TextPiece{"\n", 1} : TextPiece{"\r\n", 2};
    for (int attempt = 1;; ++attempt) {
        LogEvent(Trace, " %s\n", t->dest.filename);
        if (file) {
            CloseFd(t);
            char name[kDailyNameSize];
            DailyName(t, now, name, sizeof name);
            int fd = TextOpenAppend(name, true);
            LogEvent(Trace, "Log<%s> opened\n", name);
            if (fd < 0) {
                // Report the reason the file could not be opened, rather than
                // that of a write to no descriptor.
                Disable(t, errno);
                return;
            }
            t->fd = static_cast<int16_t>(fd);
        }
        if (writepieces(t->fd, pieces, 6) == 6) {
            if ((flags & LM_FLUSH) != 0) {
                std::fflush(nullptr);
            }
            return;
        }
        int err = errno;
        CloseFd(t);
        if (err == 0 || file) {
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

void writetarget(LogTarget *t, int flags, const char *text) {
    time_t now = ClockNow();
    char repeatline[64];
    TextPiece pieces[6];
    pieces[0] = {t->savedstamp, STAMP_SIZE - 1};
    pieces[1] = {" ", 1};
    pieces[2] = {t->savedhost, strnlen(t->savedhost, sizeof t->savedhost)};
    pieces[3] = {" ", 1};
    if (text != nullptr) {
        pieces[4] = {text, std::strlen(text)};
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
