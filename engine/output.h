// What output.cpp gives routing (route.cpp), the rule table (rules.cpp) and
// the mark tick (mark.cpp): the lines gathered for the daily files and their
// writing, the daily files' opening, the failure reports on a named file, and
// the routing facts both sides use (the repeat delays, the MARK period, the
// time stamp, whether a target keeps a text a later message can repeat).
//
// Thread-safety: the constants are immutable; every function that touches a
// LogTarget or the gathered lines expects the caller to hold engine.lock.
#pragma once

#include <ctime>

#include "engine/logtarget.h"
#include "platform/textfile.h"

// Seconds a counted repeat waits after the target's last write before the
// "last message repeated" line is written, indexed by LogTarget::backoff.
extern const int repeatdelay[2];
// Seconds of quiet ticks between two MARK messages; a MARK reaches only the
// targets idle for at least half of it.
extern const int markperiod;

// The delay that applies to t now (backoff outside 0..1 counts as 1).
int RepeatDelay(const LogTarget *t);
// After a repeat line is written: the next one waits the longer delay.
void BackOff(LogTarget *t);

// The name of kind from kindnames ("?" for a value outside the enumeration).
const char *KindName(TargetKind kind);

// The local stamp of t, "Mmm dd hh:mm:ss" (English month, zero-padded day,
// 24-hour clock), into out (at least STAMP_SIZE bytes, NUL-terminated).
// Formatted once a second: the text of the last t is kept.
void MakeStamp(time_t t, char *out);

// savedlen of a target whose last text was too long to keep (240 characters or
// more): nothing is kept, so no later text can count as its repeat.  A fresh,
// zero-filled target keeps nothing either (its savedstamp is empty).
constexpr int32_t SAVEDLEN_NOTKEPT = -1;

// 1 when t keeps a text (possibly empty) that a later message may repeat.
int KeepsText(const LogTarget *t);

// reporterr for a failure on a named file or host: "<name>: <reason>", the
// name shown whole up to 60 characters and otherwise as its first 57 and
// "...", so that the reason still fits the 99 characters of the message.  The
// reason is the runtime's text for the error number err, as reporterr words
// it (nothing for 0), or why when that is not null.  Leaves errno 0.
void ReportNamed(const char *name, int err, const char *why);

// Writes the pieces of one line in order to a descriptor from TextOpenAppend,
// as one gathered text-mode write.  Returns count when every byte of every
// piece was written; -1 with errno set (0 for a short write without an error)
// otherwise.  A partly written line is not retried and leaves nothing for the
// next line to join (TextWritePieces).
int writepieces(int fd, const TextPiece *pieces, int count);

// Opens t's daily file for the local date of now, its name into name
// (DAILYNAME_SIZE bytes), and notes the file as checked in the present hold of
// the engine lock (the rule table's load opens it, so that it exists from then
// on).  Returns the descriptor (also in t->fd), or -1 with errno set.
int OpenDailyFile(LogTarget *t, time_t now, char *name);

// Writes every gathered line now, each file's lines in order with one write;
// EngineGuard calls it at the end of the outermost hold, the rule table's
// reload before it frees targets, the signal exit before the process ends.
void FlushOutput();
