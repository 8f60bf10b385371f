// The rule table's record, its kinds and name tables, and the routing flags.
//
// One LogTarget per rule line, in file order, in a singly linked list owned by
// the engine (engine.targets).  Records are zero-filled when made; the field
// sizes below decide behaviour (what fits, what is kept) and are pinned with
// static_asserts.
#pragma once

#include <cstdint>

#include "platform/sockets.h"

// What a rule writes to.  16-bit signed; the values index kindnames.
enum class TargetKind : int16_t {
    UNUSED = 0,   // failed parse, "@" without a bound socket, disabled target: writes nothing
    FILE = 1,     // action beginning with "/" or "\": daily log file
    TTY = 2,      // never made by the parser; written like a console
    CONSOLE = 3,  // only the built-in console target
    FORW = 4,     // action beginning with "@": UDP datagram to a host
    USERS = 5,    // any other action: user names; writes nothing
    WALL = 6,     // action "*": writes nothing
};

// "none": nothing of the facility matches.
constexpr uint8_t NOLEVEL = 16;
// Entries of LogTarget::levels: facilities 0 to 23 and the mark facility 24.
constexpr int LOG_NFACILITIES = 25;
constexpr int MARK_FACILITY = 24;

constexpr int FILENAME_SIZE = 200;  // path with terminator
constexpr int HOSTNAME_SIZE = 129;  // host name with terminator
constexpr int MAXUSERS = 20;
constexpr int USERNAME_SIZE = 9;     // 8 characters and the terminator
constexpr int SAVEDLINE_SIZE = 240;  // a text is kept only when shorter than this
constexpr int STAMP_SIZE = 16;       // "Mmm dd hh:mm:ss" and the terminator

struct LogTarget {
    LogTarget *next;
    TargetKind kind;
    int16_t fd;                       // FILE, TTY, CONSOLE; -1 while a file is reopened
    int32_t lastwrite;                // seconds since the epoch of the last writetarget
    uint8_t levels[LOG_NFACILITIES];  // least severe level selected, or NOLEVEL
    union {
        char filename[FILENAME_SIZE];  // FILE, TTY, CONSOLE: the path as written
        struct {
            char forwhost[HOSTNAME_SIZE];  // FORW: the host as written
            SockAddrIn forwaddr;           // its address, syslog port
        } forw;
        char users[MAXUSERS][USERNAME_SIZE];  // USERS: rows not in use are empty
    } dest;
    char savedline[SAVEDLINE_SIZE];  // last text routed here, when shorter than 240
    char savedstamp[STAMP_SIZE];     // its stamp, or that of its latest repeat
    char savedhost[HOSTNAME_SIZE];   // its sender
    int32_t savedpri;                // its priority code
    int32_t savedlen;                // length of savedline; 0 when nothing is kept
    int32_t repeats;                 // repeats counted and not yet written
    uint32_t backoff;                // index into repeatdelay: 0 or 1
    // FILE: the local date (yyyymmdd) of the open daily file, the hold of the
    // engine lock in which its name was last seen to lead to it, and its lines
    // gathered and not yet written (record numbers from 1; 0 for none).
    int32_t day;
    uint32_t checked;
    int32_t pendfirst;
    int32_t pendlast;
};

static_assert(sizeof(TargetKind) == 2);
static_assert(sizeof(LogTarget::levels) == 25);
static_assert(sizeof(LogTarget::dest.filename) == 200);
static_assert(sizeof(LogTarget::dest.forw.forwhost) == 129);
static_assert(sizeof(LogTarget::dest.users) == 20 * 9);
static_assert(sizeof(LogTarget::savedline) == 240);
static_assert(sizeof(LogTarget::savedstamp) == 16);
static_assert(sizeof(LogTarget::savedhost) == 129);

// A name table row; a table ends with {nullptr, -1}.
struct CodeName {
    const char *name;
    int32_t value;
};

extern const CodeName prionames[];     // level names
extern const CodeName facnames[];      // facility names; values are facility codes (number * 8)
extern const char *const kindnames[];  // indexed by TargetKind

// logmsg flags.
constexpr int LM_NOCONSOLE = 1;  // do not write to CONSOLE targets
constexpr int LM_FLUSH = 2;      // flush all output streams after a write
constexpr int LM_STAMP = 4;      // stamp with the local time
constexpr int LM_MARK = 8;       // MARK: mark facility, only to idle targets, never a repeat
