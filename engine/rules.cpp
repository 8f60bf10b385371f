// The rule table: the name tables, the rule file loader (init), the rule line
// parser (cfline) and the name look-up (namecode).
//
// A rule line is "selectors<TAB>action".  Each selector is a facility list, a
// "." and a level; the action picks the kind of target by its first character.
// Parse errors go to reporterr; while a load runs rulesready is 0, so they are
// traced and not routed.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "diag/dailyname.h"
#include "diag/debug.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "platform/path.h"
#include "platform/resolver.h"
#include "platform/textfile.h"
#include "service/settings.h"

const CodeName prionames[] = {
    {"panic", 0}, {"emerg", 0}, {"alert", 1},      {"salert", 1},  {"crit", 2},
    {"err", 3},   {"error", 3}, {"warn", 4},       {"warning", 4}, {"notice", 5},
    {"info", 6},  {"debug", 7}, {"none", NOLEVEL}, {nullptr, -1},
};

const CodeName facnames[] = {
    {"kern", 0},      {"user", 8},     {"mail", 16},    {"daemon", 24},  {"auth", 32},
    {"security", 32}, {"mark", 192},   {"syslog", 40},  {"lpr", 48},     {"news", 56},
    {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144}, {"local3", 152},
    {"local4", 160},  {"local5", 168}, {"local6", 176}, {"local7", 184}, {nullptr, -1},
};

const char *const kindnames[] = {"UNUSED", "FILE", "TTY", "CONSOLE", "FORW", "USERS", "WALL"};

namespace {

// The rule file is read at most this many characters at a time (and a
// terminator); a longer physical line is parsed as several lines.
constexpr int kLineSize = 512;
// A name this long or longer equals no row of a name table.
constexpr size_t kNameSize = 40;
// The facilities that "*" selects: all but the mark facility.
constexpr int kStarFacilities = 24;
// The built-in rules used when the rule file cannot be opened.
constexpr const char *kBuiltinRules[] = {"*.ERR\t/dev/console", "*.PANIC\t*"};

// reporterr composes "tarnwick: <text>" in ERRBUF_SIZE bytes: the room for
// the text behind the prefix.
constexpr size_t kReportRoom = ERRBUF_SIZE - 1 - (sizeof "tarnwick: " - 1);
// A word or path that does not fit a message whole is shown as its first
// kShown characters and "...".
constexpr int kShown = 40;
// An unknown name is quoted whole when the message still fits.
constexpr size_t kNameShownWhole = kReportRoom - (sizeof "unknown priority name \"\"" - 1);
static_assert(sizeof "unknown priority name \"\"" == sizeof "unknown facility name \"\"");
static_assert(sizeof "priority name too long: \"...\"" - 1 + kShown <= kReportRoom);
static_assert(sizeof "file name too long: ..." - 1 + kShown <= kReportRoom);
static_assert(sizeof "host name too long: ..." - 1 + kShown <= kReportRoom);

// A forwarding host of the rule file, looked up before the load takes the
// engine lock: the look-up may take as long as the name service does, and
// routing goes on meanwhile.
struct ForwardAnswer {
    std::string host;
    int result;  // ResolveHost's
    uint32_t addr;
    char why[ERRBUF_SIZE];
};
// The answers of the load that is parsing (under the engine lock), or
// nullptr: cfline called on its own asks the name service itself.
const std::vector<ForwardAnswer> *forward_answers = nullptr;

// Characters cut from the end of a rule line and skipped before a comment.
bool IsWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// A parse error: reporterr with errno cleared, so that the text stands alone
// (a verbose line printed before may have set errno).
void ReportParse(const char *text) {
    errno = 0;
    reporterr(text);
}

// "unknown <what> name "<word>"", or, when the word would not fit the
// message, "<what> name too long: "<first 40 characters>..."".
void ReportUnknown(const char *what, const char *word, size_t len) {
    char text[ERRBUF_SIZE];
    if (len <= kNameShownWhole) {
        std::snprintf(text, sizeof text, "unknown %s name \"%s\"", what, word);
    } else {
        std::snprintf(text, sizeof text, "%s name too long: \"%.*s...\"", what, kShown, word);
    }
    ReportParse(text);
}

// Copies the word at p, up to any character of stops or the end, into word
// (kLineSize bytes).  Returns the word's length and sets *end behind it.  A
// word too long for the buffer is returned as far as it fits, with its whole
// length, which tells the caller.
size_t CollectWord(const char *p, const char *stops, char *word, const char **end) {
    size_t len = 0;
    while (p[len] != '\0' && std::strchr(stops, p[len]) == nullptr) {
        if (len < kLineSize - 1) {
            word[len] = p[len];
        }
        ++len;
    }
    word[len < kLineSize - 1 ? len : kLineSize - 1] = '\0';
    *end = p + len;
    return len;
}

// The entry keeps the least severe level given to it; "none" (NOLEVEL) is
// replaced by any level, and replaces any level given before it.  The entry
// stores the low 8 bits.
void ApplyLevel(uint8_t *entry, int level) {
    if (*entry < level || *entry == NOLEVEL) {
        *entry = static_cast<uint8_t>(level);
    }
}

// Parses the selectors from the start of line up to the first TAB.  Returns
// the position behind them, or nullptr after a reported error.
const char *ParseSelectors(const char *line, LogTarget *t) {
    char word[kLineSize];
    const char *p = line;
    while (*p != '\0' && *p != '\t') {
        // The level word follows the selector's first ".".
        const char *q = p;
        while (*q != '\0' && *q != '\t' && *q != '.') {
            ++q;
        }
        if (*q == '.') {
            ++q;
        }
        size_t len = CollectWord(q, "\t,;", word, &q);
        while (*q == ',' || *q == ';' || *q == ' ') {
            ++q;
        }
        const char *next = q;

        int level = len < kLineSize ? namecode(word, prionames) : -1;
        if (level < 0) {
            ReportUnknown("priority", word, len);
            return nullptr;
        }

        // The facility list, up to the ".", or a ";" or TAB of a selector
        // without one.
        q = p;
        while (*q != '\0' && *q != '.' && *q != ';' && *q != '\t') {
            len = CollectWord(q, "\t,;.", word, &q);
            if (word[0] == '*') {
                for (int i = 0; i < kStarFacilities; ++i) {
                    ApplyLevel(&t->levels[i], level);
                }
            } else {
                int f = len < kLineSize ? namecode(word, facnames) : -1;
                // A facility code beyond the table names no facility.
                if (f < 0 || (f >> 3) >= LOG_NFACILITIES) {
                    ReportUnknown("facility", word, len);
                    return nullptr;
                }
                ApplyLevel(&t->levels[f >> 3], level);
            }
            while (*q == ',' || *q == ' ') {
                ++q;
            }
        }
        p = next;
    }
    return p;
}

// "/" or "\": the daily file of the path, opened now so that it exists from
// the load on.
void ParseFile(const char *action, LogTarget *t) {
    if (std::strlen(action) >= sizeof t->dest.filename) {
        char text[ERRBUF_SIZE];
        std::snprintf(text, sizeof text, "file name too long: %.*s...", kShown, action);
        ReportParse(text);
        return;
    }
    std::snprintf(t->dest.filename, sizeof t->dest.filename, "%s", action);
    if (engine.verbose) {
        std::printf("filename: %s\n", t->dest.filename);
    }
    char dated[DAILYNAME_SIZE];
    int failed;
    if (engine.check != nullptr) {
        struct tm tm;
        ClockLocal(ClockNow(), &tm);
        DailyFileName(t->dest.filename, tm, dated);
        failed = PathFolderWritable(dated) != 0;  // named, not created
    } else {
        failed = OpenDailyFile(t, ClockNow(), dated) < 0;
    }
    if (failed) {
        ReportNamed(action, errno, nullptr);
        return;
    }
    LogEvent(Trace, "Log<%s> %s\n", dated, engine.check != nullptr ? "checked" : "opened");
    t->kind = TargetKind::FILE;
}

// "@": forwarding, only while the syslog socket is bound.
void ParseForward(const char *host, LogTarget *t) {
    if (engine.portbound == 0 && engine.check == nullptr) {
        return;
    }
    if (std::strlen(host) >= sizeof t->dest.forw.forwhost) {
        char text[ERRBUF_SIZE];
        std::snprintf(text, sizeof text, "host name too long: %.*s...", kShown, host);
        ReportParse(text);
        return;
    }
    std::snprintf(t->dest.forw.forwhost, sizeof t->dest.forw.forwhost, "%s", host);
    LogEvent(Trace, "forwarding host: %s\n", t->dest.forw.forwhost);
    uint32_t addr = 0;
    char why[ERRBUF_SIZE];
    int result = -2;  // not looked up yet
    for (size_t i = 0; forward_answers != nullptr && i < forward_answers->size(); ++i) {
        const ForwardAnswer &a = (*forward_answers)[i];
        if (a.host == t->dest.forw.forwhost) {
            result = a.result;
            addr = a.addr;
            std::memcpy(why, a.why, sizeof why);
            break;
        }
    }
    if (result == -2) {
        result = ResolveHost(t->dest.forw.forwhost, &addr, why, sizeof why);
    }
    if (result != 0) {
        ReportNamed(t->dest.forw.forwhost, 0, why[0] != '\0' ? why : "Unknown error");
        return;
    }
    SockAddrIn *to = &t->dest.forw.forwaddr;
    std::memset(to, 0, sizeof *to);
    to->family = kAfInet;
    to->port = engine.syslogport;
    to->addr = addr;
    t->kind = TargetKind::FORW;
}

// Any other action: up to MAXUSERS names separated by ",", each cut to 8
// characters.
void ParseUsers(const char *action, LogTarget *t) {
    if (engine.verbose) {
        std::printf("users: %s\n", action);
    }
    const char *p = action;
    for (int i = 0; i < MAXUSERS && *p != '\0'; ++i) {
        size_t len = 0;
        while (p[len] != '\0' && p[len] != ',') {
            if (len < USERNAME_SIZE - 1) {
                t->dest.users[i][len] = p[len];
            }
            ++len;
        }
        t->dest.users[i][len < USERNAME_SIZE - 1 ? len : USERNAME_SIZE - 1] = '\0';
        p += len;
        while (*p == ',' || *p == ' ') {
            ++p;
        }
    }
    t->kind = TargetKind::USERS;
}

// Appends a fresh zero-filled record behind *tail and parses line into it.
void AppendRule(LogTarget **tail, const char *line) {
    LogTarget *t = new LogTarget();
    if (*tail == nullptr) {
        engine.targets = t;
    } else {
        (*tail)->next = t;
    }
    *tail = t;
    cfline(line, t);
}

// Writes pending repeat lines and every gathered line, closes the files and
// frees every record.
void FreeTargets() {
    for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        if (t->repeats != 0) {
            writetarget(t, 0, nullptr);
        }
    }
    FlushOutput();
    DropTargets();
}

// A rule line and its line number in the file (check mode names it).
struct RuleLine {
    int number;
    std::string text;
};

// Reads the rule lines of cf: no blank or comment line, trailing white space
// cut.  Returns 0 at the end of the file, or the error number of a failed
// read.
int ReadRules(FILE *cf, std::vector<RuleLine> *lines) {
    char line[kLineSize];
    // The physical line: the pieces of a line longer than the buffer share it.
    int number = 0;
    bool whole = true;
    while (std::fgets(line, sizeof line, cf) != nullptr) {
        number += whole ? 1 : 0;
        whole = std::strchr(line, '\n') != nullptr;
        const char *p = line;
        while (IsWhite(*p)) {
            ++p;
        }
        if (*p == '\0' || *p == '#') {
            continue;
        }
        size_t len = std::strlen(line);
        while (len > 0 && IsWhite(line[len - 1])) {
            line[--len] = '\0';
        }
        lines->push_back({number, line});
    }
    if (std::ferror(cf) == 0) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

// Looks up every host a forwarding action of lines names, as cfline will
// find them: the action follows the first TAB and any tabs and blanks.
// (A line whose selectors fail never gets that far: its host is looked up
// for nothing.)  Only while the socket is bound; a host too long for a
// target is refused before any look-up.
std::vector<ForwardAnswer> ResolveForwards(const std::vector<RuleLine> &lines) {
    std::vector<ForwardAnswer> answers;
    bool forwarding = engine.portbound != 0 || engine.check != nullptr;
    for (size_t i = 0; forwarding && i < lines.size(); ++i) {
        const char *p = std::strchr(lines[i].text.c_str(), '\t');
        while (p != nullptr && (*p == '\t' || *p == ' ')) {
            ++p;
        }
        if (p == nullptr || *p != '@' || std::strlen(p + 1) >= HOSTNAME_SIZE) {
            continue;
        }
        bool known = false;
        for (const ForwardAnswer &a : answers) {
            known = known || a.host == p + 1;
        }
        if (!known) {
            ForwardAnswer a = {p + 1, 0, 0, {}};
            a.result = ResolveHost(p + 1, &a.addr, a.why, sizeof a.why);
            answers.push_back(a);
        }
    }
    return answers;
}

// The table as loaded, one line per target, to standard output.
void PrintListing() {
    for (const LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        for (uint8_t level : t->levels) {
            if (level == NOLEVEL) {
                std::printf("X ");
            } else {
                std::printf("%d ", level);
            }
        }
        std::printf("%s: ", kindnames[static_cast<int>(t->kind)]);
        switch (t->kind) {
            case TargetKind::FILE:
            case TargetKind::TTY:
            case TargetKind::CONSOLE:
                std::printf("%s", t->dest.filename);
                break;
            case TargetKind::FORW:
                std::printf("%s", t->dest.forw.forwhost);
                break;
            case TargetKind::USERS:
                for (int i = 0; i < MAXUSERS && t->dest.users[i][0] != '\0'; ++i) {
                    std::printf("%s, ", t->dest.users[i]);
                }
                break;
            default:
                break;
        }
        std::printf("\n");
    }
}

}  // namespace

int init() {
    // The file is read and its forwarding hosts looked up first, with no
    // lock held; then the table is replaced under the lock.
    std::vector<RuleLine> lines;
    FILE *cf = TextOpen(settings.conffile, "r");
    bool opened = cf != nullptr;
    int readerr = opened ? 0 : (errno != 0 ? errno : ENOENT);
    if (opened) {
        readerr = ReadRules(cf, &lines);
        std::fclose(cf);
    }
    if (engine.check != nullptr && readerr != 0) {
        engine.check->readerror = readerr;
        return 0;
    }
    std::vector<ForwardAnswer> answers = ResolveForwards(lines);

    EngineGuard guard;
    LogEvent(Trace, "init\n");
    engine.rulesready = 0;
    FreeTargets();

    LogTarget *tail = nullptr;
    if (opened) {
        LogEvent(Trace, "Configuration<%s> begins to proess\n", settings.conffile);
        forward_answers = &answers;
        for (const RuleLine &line : lines) {
            if (engine.check != nullptr) {
                engine.check->line = line.number;
            }
            AppendRule(&tail, line.text.c_str());
        }
        forward_answers = nullptr;
    }
    if (!opened || readerr != 0) {
        // A file that cannot be read whole counts as missing: never half a
        // table, which would drop what the lost lines route.
        FreeTargets();
        tail = nullptr;
        LogEvent(Trace, "cannot open %s\n", settings.conffile);
        for (const char *rule : kBuiltinRules) {
            AppendRule(&tail, rule);
        }
        engine.rulesready = 1;
        if (opened) {
            ReportNamed(settings.conffile, readerr, nullptr);
        }
        return 0;
    }
    engine.rulesready = 1;

    if (engine.verbose || engine.check != nullptr) {
        PrintListing();
    }
    if (engine.check != nullptr) {
        return 0;
    }
    logmsg(46, "tarnwick: restart", engine.myhostname, LM_STAMP);
    LogEvent(Trace, "tarnwick: restarted\n");
    return 0;
}

void cfline(const char *line, LogTarget *t) {
    LogEvent(Trace, "cfline(%s)\n", line);
    errno = 0;
    // The link belongs to the list; everything else starts afresh.
    LogTarget *next = t->next;
    std::memset(t, 0, sizeof *t);
    t->next = next;
    std::memset(t->levels, NOLEVEL, sizeof t->levels);

    const char *p = ParseSelectors(line, t);
    if (p == nullptr) {
        return;
    }
    while (*p == '\t' || *p == ' ') {
        ++p;
    }
    if (*p != '\0') {
        LogEvent(Trace, "leading char in action: %c\n", *p);
    } else {
        LogEvent(Trace, "leading char in action: \n");
    }

    switch (*p) {
        case '*':
            if (engine.verbose) {
                std::printf("write-all\n");
            }
            t->kind = TargetKind::WALL;
            break;
        case '/':
        case '\\':
            ParseFile(p, t);
            break;
        case '@':
            ParseForward(p + 1, t);
            break;
        default:
            ParseUsers(p, t);
            break;
    }
}

int namecode(const char *name, const CodeName *table) {
    if (engine.verbose) {
        std::printf("symbolic name: %s", name);
    }
    if (*name >= '0' && *name <= '9') {
        // The leading digits; a number beyond the int range stays at its
        // largest value rather than overflow.
        int value = 0;
        for (const char *p = name; *p >= '0' && *p <= '9'; ++p) {
            int digit = *p - '0';
            value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
        }
        return value;
    }
    char folded[kNameSize];
    size_t len = std::strlen(name);
    if (len >= sizeof folded) {
        return -1;
    }
    for (size_t i = 0; i <= len; ++i) {
        char c = name[i];
        folded[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (const CodeName *row = table; row->name != nullptr; ++row) {
        if (std::strcmp(folded, row->name) == 0) {
            if (engine.verbose) {
                std::printf(" ==> %d\n", row->value);
            }
            return row->value;
        }
    }
    return -1;
}
