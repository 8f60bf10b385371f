// Message routing: the time stamp, the facility and level of a message, the
// walk of the rule list, and repeat suppression per target.
#include <cstdio>
#include <cstring>

#include "diag/debug.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/textfile.h"
#include "timer/vtm_driver.h"

const char consdev[] = "";

const int repeatdelay[2] = {30, 60};
const int markperiod = 1200;

namespace {

const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Length of a time stamp, without its terminator.
constexpr int kStampLen = STAMP_SIZE - 1;

// 1 when msg begins with a stamp and a blank: only the blanks and colons are
// looked at, never the month or the digits.
int HasStamp(const char *msg, size_t len) {
    return len >= 16 && msg[3] == ' ' && msg[6] == ' ' && msg[9] == ':' && msg[12] == ':' &&
           msg[15] == ' ';
}

// Copies from into savedhost, cut to what the field holds.
void SaveHost(LogTarget *t, const char *from) {
    size_t n = std::strlen(from);
    if (n > sizeof t->savedhost - 1) {
        n = sizeof t->savedhost - 1;
    }
    std::memcpy(t->savedhost, from, n);
    t->savedhost[n] = '\0';
}

void SaveStamp(LogTarget *t, const char *stamp) {
    std::memcpy(t->savedstamp, stamp, kStampLen);
    t->savedstamp[kStampLen] = '\0';
}

// The message repeats the one t keeps: same text, same length, same sender.
int IsRepeat(const LogTarget *t, const char *msg, size_t len, const char *from) {
    return KeepsText(t) && static_cast<size_t>(t->savedlen) == len &&
           std::strcmp(msg, t->savedline) == 0 && std::strcmp(from, t->savedhost) == 0;
}

// One matching target: count a repeat, or keep and write a new message.
void RouteTo(LogTarget *t, int pri, const char *msg, size_t len, const char *from, int flags,
             const char *stamp, time_t now) {
    if ((flags & LM_MARK) == 0 && IsRepeat(t, msg, len, from)) {
        SaveStamp(t, stamp);
        t->repeats++;
        LogEvent(Trace, "msg repeated %d times, %ld sec of %d\n", t->repeats,
                 static_cast<long>(now - t->lastwrite), RepeatDelay(t));
        if (now > static_cast<time_t>(t->lastwrite) + RepeatDelay(t)) {
            writetarget(t, flags, nullptr);
            BackOff(t);
        }
        return;
    }
    if (t->repeats != 0) {
        writetarget(t, 0, nullptr);
    }
    t->backoff = 0;
    SaveStamp(t, stamp);
    SaveHost(t, from);
    t->savedpri = pri;
    if (len < sizeof t->savedline) {
        t->savedlen = static_cast<int32_t>(len);
        std::memcpy(t->savedline, msg, len + 1);
        writetarget(t, flags, nullptr);
    } else {
        // Written whole, but not kept: nothing that follows can repeat it.
        t->savedline[0] = '\0';
        t->savedlen = SAVEDLEN_NOTKEPT;
        writetarget(t, flags, msg);
    }
}

}  // namespace

int RepeatDelay(const LogTarget *t) {
    return repeatdelay[t->backoff > 1 ? 1 : t->backoff];
}

void BackOff(LogTarget *t) {
    if (++t->backoff > 1) {
        t->backoff = 1;
    }
}

void MakeStamp(time_t t, char *out) {
    if (!engine.stampvalid || t != engine.stampfor) {
        struct tm tm;
        ClockLocal(t, &tm);
        int mon = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
        std::snprintf(engine.stamp, STAMP_SIZE, "%s %02d %02d:%02d:%02d", kMonths[mon], tm.tm_mday,
                      tm.tm_hour, tm.tm_min, tm.tm_sec);
        engine.stampfor = t;
        engine.stampvalid = 1;
    }
    std::memcpy(out, engine.stamp, STAMP_SIZE);
}

int KeepsText(const LogTarget *t) {
    return t->savedlen >= 0 && t->savedstamp[0] != '\0';
}

void logmsg(int pri, const char *msg, const char *from, int flags) {
    EngineGuard guard;
    LogEvent(Trace, "logmsg: pri %o, flags %x, from %s, msg %s\n", pri, flags, from, msg);
    if (engine.marktimer >= 0) {
        tm_setpause(engine.marktimer, 1);
    }

    size_t len = std::strlen(msg);
    if (!HasStamp(msg, len)) {
        flags |= LM_STAMP;
    }
    time_t now = ClockNow();
    char stamp[STAMP_SIZE];
    if ((flags & LM_STAMP) != 0) {
        MakeStamp(now, stamp);
    } else {
        std::memcpy(stamp, msg, kStampLen);
        stamp[kStampLen] = '\0';
        msg += 16;
        len -= 16;
    }
    int fac = (flags & LM_MARK) != 0 ? MARK_FACILITY : (pri & 0x3f8) >> 3;
    int lev = pri & 7;

    if (engine.rulesready == 0) {
        // No rule table in force: only the console device may take it.
        LogTarget *c = &engine.constarget;
        int fd = TextOpenAppend(c->dest.filename, false);
        if (fd >= 0) {
            c->fd = static_cast<int16_t>(fd);
            writetarget(c, flags, msg);
            if (c->fd >= 0) {
                TextClose(c->fd);
            }
        }
        c->fd = -1;
    } else if (fac < LOG_NFACILITIES) {
        // Facilities beyond the table (indexes 25 to 127 of a received
        // priority) match no target.
        for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
            if (t->levels[fac] == NOLEVEL || t->levels[fac] < lev) {
                continue;
            }
            if (t->kind == TargetKind::CONSOLE && (flags & LM_NOCONSOLE) != 0) {
                continue;
            }
            if ((flags & LM_MARK) != 0 && now - t->lastwrite < markperiod / 2) {
                continue;
            }
            RouteTo(t, pri, msg, len, from, flags, stamp, now);
        }
    }

    if (engine.marktimer >= 0) {
        tm_setpause(engine.marktimer, 0);
    }
}
