#include "platform/registry.h"

#include "platform/common/registry_system.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "diag/debug.h"
#include "platform/errors.h"

namespace {

constexpr char kDefaultFile[] = "/etc/tarnwick/registry.reg";
constexpr char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr char kHeader4[] = "REGEDIT4";

// A line holds at most kLineSize - 1 characters, so no name or string data is
// longer than that either.
constexpr size_t kLineSize = 4096;
// "HKEY_LOCAL_MACHINE\" and the subkey path.
constexpr size_t kPathSize = 512;
constexpr int kMaxOpenKeys = 16;
// Handles are kFirstKey + slot index, well apart from the predefined roots.
constexpr RegKey kFirstKey = 0x100;

const char *RegistryFile() {
    const char *file = std::getenv("TARNWICK_REGISTRY");
    return file != nullptr && file[0] != '\0' ? file : kDefaultFile;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

const char *SkipBlanks(const char *p) {
    while (IsBlank(*p)) {
        ++p;
    }
    return p;
}

// ---------------------------------------------------------------------------
// Characters of the file: 8-bit text, or UTF-16LE behind the byte-order mark
// FF FE.  Every character comes out as its code; the line reader decides what
// may be kept as an 8-bit character.

class CharSource {
  public:
    explicit CharSource(FILE *f) : f_(f) {
        Fill();
        if (len_ >= 2 && buf_[0] == 0xFF && buf_[1] == 0xFE) {
            wide_ = true;
            pos_ = 2;
        }
    }

    // Stands once for a lone byte at the end of UTF-16 text, so that the line
    // it lies on is counted.
    static constexpr long kOddByte = 0x110000;

    // The next character's code, kOddByte, or -1 at the end of the file.
    long Next() {
        if (!wide_) {
            return NextByte();
        }
        long unit = NextUnit();
        // A surrogate pair is one character; its code is reported whole.
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            long low = NextUnit();
            if (low >= 0xDC00 && low <= 0xDFFF) {
                return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            }
            pending_ = low;
        }
        return unit;
    }

    bool OddByte() const { return oddbyte_; }
    bool Failed() const { return std::ferror(f_) != 0; }

  private:
    void Fill() {
        len_ = std::fread(buf_, 1, sizeof buf_, f_);
        pos_ = 0;
    }

    long NextByte() {
        if (pos_ == len_) {
            Fill();
            if (len_ == 0) {
                return -1;
            }
        }
        return buf_[pos_++];
    }

    long NextUnit() {
        if (pending_ != -2) {
            long unit = pending_;
            pending_ = -2;
            return unit;
        }
        long lo = NextByte();
        if (lo < 0) {
            return -1;
        }
        long hi = NextByte();
        if (hi < 0) {
            oddbyte_ = true;
            return kOddByte;
        }
        return lo | (hi << 8);
    }

    FILE *f_;
    unsigned char buf_[4096];
    size_t len_ = 0;
    size_t pos_ = 0;
    bool wide_ = false;
    bool oddbyte_ = false;
    long pending_ = -2;  // a unit read ahead after a lone high surrogate
};

// One line of the file, without its LF or CR LF.
struct Line {
    char text[kLineSize];
    bool toolong = false;  // characters beyond kLineSize - 1 were dropped
    long badchar = -1;     // the first character that is not 8-bit text (NUL or
                           // above U+00FF), or -1
};

// Reads the next line into line.  Returns false at the end of the file.
// Characters beyond the line's room are dropped and flagged.
bool ReadLine(CharSource *source, Line *line) {
    size_t len = 0;
    line->toolong = false;
    line->badchar = -1;
    long c = source->Next();
    if (c < 0) {
        return false;
    }
    for (; c >= 0 && c != '\n'; c = source->Next()) {
        if (c == CharSource::kOddByte) {
            continue;
        }
        if ((c == 0 || c > 0xFF) && line->badchar < 0) {
            line->badchar = c;
        }
        if (len < kLineSize - 1) {
            line->text[len++] = static_cast<char>(c);
        } else {
            line->toolong = true;
        }
    }
    if (len > 0 && line->text[len - 1] == '\r') {
        --len;
    }
    line->text[len] = '\0';
    return true;
}

// ---------------------------------------------------------------------------
// The parse: one whole pass over the file for one key (and one value).

struct Lookup {
    const char *keypath;  // "HKEY_LOCAL_MACHINE\..." of the key
    const char *name;     // the value to read ("" for the default), or nullptr
    bool keyfound = false;
    bool valuefound = false;  // the value's last definition is a string
    char data[kLineSize] = {};
    size_t length = 0;  // of data, without the terminator
};

struct ParseState {
    bool seenkey = false;     // a key line has come
    bool inkey = false;       // values now belong to the looked-up key
    bool hexgoes_on = false;  // the last line ended a hex list with '\'
};

// How the path of a key line (len characters) stands to the looked-up key.
enum class Relation { kOther, kSame, kBelow, kAbove };

Relation Relate(const char *path, size_t len, const char *keypath) {
    size_t keylen = std::strlen(keypath);
    size_t common = len < keylen ? len : keylen;
    if (strncasecmp(path, keypath, common) != 0) {
        return Relation::kOther;
    }
    if (len == keylen) {
        return Relation::kSame;
    }
    if (len > keylen) {
        return path[keylen] == '\\' ? Relation::kBelow : Relation::kOther;
    }
    return keypath[len] == '\\' ? Relation::kAbove : Relation::kOther;
}

// Reads a quoted string at *p (the opening quote) into out, undoing the
// escapes of a backslash and of a quote.  Returns nullptr and moves *p behind the closing quote, or
// the reason why the string is wrong.
const char *ParseString(const char **p, char *out, size_t *outlen) {
    const char *s = *p + 1;
    size_t len = 0;
    for (;;) {
        char c = *s++;
        if (c == '\0') {
            return "unterminated string";
        }
        if (c == '"') {
            break;
        }
        if (c == '\\') {
            c = *s++;
            if (c == '\0') {
                return "unterminated string";
            }
            if (c != '\\' && c != '"') {
                return "unknown escape in a string (only \\\\ and \\\" are known)";
            }
        }
        out[len++] = c;  // never more than the line holds
    }
    out[len] = '\0';
    *outlen = len;
    *p = s;
    return nullptr;
}

// Checks a list of hex bytes ("01,ab,\" and the like).  Sets *goes_on when
// the list ends with a backslash: the next line carries on with it.
bool ParseHexList(const char *p, bool *goes_on) {
    *goes_on = false;
    for (;;) {
        p = SkipBlanks(p);
        if (*p == '\0') {
            return true;
        }
        if (*p == '\\') {
            *goes_on = *SkipBlanks(p + 1) == '\0';
            return *goes_on;
        }
        int digits = 0;
        while (std::isxdigit(static_cast<unsigned char>(*p))) {
            ++p;
            ++digits;
        }
        if (digits == 0 || digits > 2) {
            return false;
        }
        p = SkipBlanks(p);
        if (*p == ',') {
            ++p;
        } else if (*p != '\0') {
            return false;
        }
    }
}

// The data of a value line, after the '='.  *isstring tells whether the
// value is a string (then in out); other valid forms are dword:, hex: and
// hex(n): data and "-" (the value is deleted).
const char *ParseData(const char *p, ParseState *state, bool *isstring, char *out, size_t *outlen) {
    *isstring = false;
    if (*p == '"') {
        const char *why = ParseString(&p, out, outlen);
        if (why != nullptr) {
            return why;
        }
        if (*SkipBlanks(p) != '\0') {
            return "text after the closing quote";
        }
        *isstring = true;
        return nullptr;
    }
    if (std::strcmp(p, "-") == 0) {
        return nullptr;
    }
    if (strncasecmp(p, "dword:", 6) == 0) {
        p += 6;
        int digits = 0;
        while (std::isxdigit(static_cast<unsigned char>(*p))) {
            ++p;
            ++digits;
        }
        return digits >= 1 && digits <= 8 && *p == '\0' ? nullptr : "bad dword data";
    }
    if (strncasecmp(p, "hex", 3) == 0) {
        p += 3;
        if (*p == '(') {
            ++p;
            int digits = 0;
            while (std::isxdigit(static_cast<unsigned char>(*p))) {
                ++p;
                ++digits;
            }
            if (digits == 0 || *p != ')') {
                return "bad hex data";
            }
            ++p;
        }
        if (*p == ':') {
            return ParseHexList(p + 1, &state->hexgoes_on) ? nullptr : "bad hex data";
        }
    }
    return "unknown value type";
}

// A key line: "[path]" to open a key, "[-path]" to delete it.
const char *ParseKeyLine(const char *text, ParseState *state, Lookup *look) {
    size_t len = std::strlen(text);
    if (text[len - 1] != ']') {
        return "key line without ']'";
    }
    const char *path = text + 1;
    len -= 2;
    bool remove = false;
    if (*path == '-') {
        remove = true;
        ++path;
        --len;
    }
    if (len == 0) {
        return "empty key name";
    }
    state->seenkey = true;
    Relation rel = Relate(path, len, look->keypath);
    state->inkey = !remove && rel == Relation::kSame;
    if (!remove && (rel == Relation::kSame || rel == Relation::kBelow)) {
        look->keyfound = true;  // a key below the looked-up one makes it exist
    }
    if (remove && (rel == Relation::kSame || rel == Relation::kAbove)) {
        look->keyfound = false;
        look->valuefound = false;
    }
    return nullptr;
}

// A value line: "name"=data or @=data (the default value, name "").
const char *ParseValueLine(const char *text, ParseState *state, Lookup *look) {
    if (!state->seenkey) {
        return "value line before any key line";
    }
    char name[kLineSize];
    size_t namelen = 0;
    const char *p = text;
    if (*p == '@') {
        name[0] = '\0';
        ++p;
    } else {
        const char *why = ParseString(&p, name, &namelen);
        if (why != nullptr) {
            return why;
        }
    }
    p = SkipBlanks(p);
    if (*p != '=') {
        return "'=' missing after the value name";
    }
    p = SkipBlanks(p + 1);

    char data[kLineSize];
    size_t datalen = 0;
    bool isstring = false;
    const char *why = ParseData(p, state, &isstring, data, &datalen);
    if (why != nullptr) {
        return why;
    }
    // The last definition of a value wins, as when the file is imported.
    if (state->inkey && look->name != nullptr && strcasecmp(name, look->name) == 0) {
        look->valuefound = isstring;
        if (isstring) {
            std::memcpy(look->data, data, datalen + 1);
            look->length = datalen;
        }
    }
    return nullptr;
}

// Parses one line (not the first).  Returns nullptr, or what is wrong with it;
// reason receives texts that need formatting.
const char *ParseLine(Line *line, ParseState *state, Lookup *look, char *reason,
                      size_t reasonsize) {
    // Blanks around a line do not count.
    char *text = line->text;
    while (IsBlank(*text)) {
        ++text;
    }
    size_t len = std::strlen(text);
    while (len > 0 && IsBlank(text[len - 1])) {
        text[--len] = '\0';
    }

    if (text[0] == ';') {
        return nullptr;  // comments may hold anything
    }
    if (line->toolong) {
        std::snprintf(reason, reasonsize, "line longer than %zu characters", kLineSize - 1);
        return reason;
    }
    if (line->badchar >= 0) {
        if (line->badchar == 0) {
            return "NUL character";
        }
        std::snprintf(reason, reasonsize, "character U+%04lX is not 8-bit text", line->badchar);
        return reason;
    }
    if (state->hexgoes_on) {
        return ParseHexList(text, &state->hexgoes_on) ? nullptr : "bad hex data";
    }
    if (text[0] == '\0') {
        return nullptr;
    }
    if (text[0] == '[') {
        return ParseKeyLine(text, state, look);
    }
    if (text[0] == '"' || text[0] == '@') {
        return ParseValueLine(text, state, look);
    }
    return "unparsable line";
}

// Reads the whole file for look.  Returns true when the file was there and
// well-formed; look then holds what it says.  A missing file returns false
// quietly; an unreadable or malformed one returns false with a Warning trace.
bool ReadRegistryFile(Lookup *look) {
    const char *file = RegistryFile();
    FILE *f = std::fopen(file, "rb");
    if (f == nullptr) {
        if (errno != ENOENT && errno != ENOTDIR) {
            const char *text = RuntimeErrorText(errno);
            LogEvent(Warning, "Registry file %s cannot be read: %s - file ignored\n", file,
                     text != nullptr ? text : "unknown error");
        }
        return false;
    }

    CharSource source(f);
    Line line;
    ParseState state;
    unsigned lineno = 0;
    char reason[64];
    const char *why = nullptr;
    while (why == nullptr && ReadLine(&source, &line)) {
        ++lineno;
        if (lineno == 1) {
            if (line.toolong ||
                (std::strcmp(line.text, kHeader5) != 0 && std::strcmp(line.text, kHeader4) != 0)) {
                why = "wrong first line";
            }
            continue;
        }
        why = ParseLine(&line, &state, look, reason, sizeof reason);
    }
    if (why == nullptr && source.Failed()) {
        int err = errno;
        std::fclose(f);
        const char *text = RuntimeErrorText(err);
        LogEvent(Warning, "Registry file %s cannot be read: %s - file ignored\n", file,
                 text != nullptr ? text : "unknown error");
        return false;
    }
    std::fclose(f);
    if (why == nullptr) {
        if (lineno == 0) {
            lineno = 1;
            why = "wrong first line";  // an empty file has none
        } else if (source.OddByte()) {
            why = "odd number of bytes in UTF-16 text";
        } else if (state.hexgoes_on) {
            why = "hex data go on past the end of the file";
        }
    }
    if (why != nullptr) {
        LogEvent(Warning, "Registry file %s line %u: %s - file ignored\n", file, lineno, why);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Open keys: a key handle names its key; every query reads the file anew.

struct OpenKey {
    bool used = false;
    char path[kPathSize] = {};
};

struct KeyTable {
    std::mutex lock;
    OpenKey keys[kMaxOpenKeys];
};
KeyTable table;

// Copies the path of an open key.  Returns false for a key that is not open.
bool KeyPath(RegKey key, char *path) {
    std::lock_guard<std::mutex> guard(table.lock);
    if (key < kFirstKey || key >= kFirstKey + kMaxOpenKeys) {
        return false;
    }
    const OpenKey &open = table.keys[key - kFirstKey];
    if (!open.used) {
        return false;
    }
    std::memcpy(path, open.path, kPathSize);
    return true;
}

}  // namespace

long SystemRegistryOpenKey(const char *subkey, RegKey *key) {
    char path[kPathSize];
    int n = subkey == nullptr || subkey[0] == '\0'
                ? std::snprintf(path, sizeof path, "%s", kRootName)
                : std::snprintf(path, sizeof path, "%s\\%s", kRootName, subkey);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        return kErrorFileNotFound;
    }

    Lookup look;
    look.keypath = path;
    look.name = nullptr;
    if (!ReadRegistryFile(&look) || !look.keyfound) {
        return kErrorFileNotFound;
    }

    {
        std::lock_guard<std::mutex> guard(table.lock);
        for (int i = 0; i < kMaxOpenKeys; ++i) {
            OpenKey &open = table.keys[i];
            if (!open.used) {
                open.used = true;
                std::memcpy(open.path, path, sizeof path);
                *key = kFirstKey + static_cast<RegKey>(i);
                return kErrorSuccess;
            }
        }
    }
    LogEvent(Warning, "RegistryOpenKey: all %d key handles are in use\n", kMaxOpenKeys);
    return kErrorFileNotFound;
}

long RegistryQueryValue(RegKey key, const char *name, char *data, uint32_t *size) {
    if (size == nullptr) {
        return kErrorFileNotFound;
    }
    char path[kPathSize];
    if (!KeyPath(key, path)) {
        return kErrorFileNotFound;
    }
    Lookup look;
    look.keypath = path;
    look.name = name != nullptr ? name : "";
    if (!ReadRegistryFile(&look) || !look.keyfound || !look.valuefound) {
        return kErrorFileNotFound;
    }
    uint32_t needed = static_cast<uint32_t>(look.length + 1);
    if (data != nullptr) {
        if (needed > *size) {
            *size = needed;
            return kErrorMoreData;
        }
        std::memcpy(data, look.data, needed);
    }
    *size = needed;
    return kErrorSuccess;
}

void RegistryCloseKey(RegKey key) {
    std::lock_guard<std::mutex> guard(table.lock);
    if (key >= kFirstKey && key < kFirstKey + kMaxOpenKeys) {
        table.keys[key - kFirstKey].used = false;
    }
}
