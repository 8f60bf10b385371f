// resgen: turns the program's resource sources into C++ tables for the POSIX
// build, so that both builds read one source of truth.
//
//   resgen MESSAGES.mc STRINGS.rc OUT.cpp
//
// MESSAGES.mc is read as "windmc -c -A" reads it: the customer bit is set in
// every ID; severity, facility and the message number make up the rest; each
// text line ends in CR LF.  STRINGS.rc holds one STRINGTABLE as windres reads
// it: an id, an optional comma and a string in which "" is a quote and \n,
// \r, \t, \\, \" are escapes.  Anything outside the subset the two files use
// (a '%' sequence in a message, an unknown escape, a duplicate id) stops the
// build with a message naming the file and line, so that the two builds can
// never disagree silently.
//
// OUT.cpp defines kMessageTable and kStringTable (platform/posix/
// resource_tables.h), sorted by id.  Exit status 0 on success, 1 on failure.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kCustomerBit = 0x20000000u;

struct Entry {
    uint32_t id;
    std::string text;
};

struct Named {
    std::string name;
    uint32_t value;
};

struct Source {
    const char *path;
    std::vector<std::string> lines;
};

bool Fail(const Source &src, size_t line, const char *what) {
    std::fprintf(stderr, "%s:%zu: %s\n", src.path, line + 1, what);
    return false;
}

bool ReadLines(const char *path, Source *src) {
    src->path = path;
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: cannot open\n", path);
        return false;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            src->lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) {
        src->lines.push_back(line);
    }
    std::fclose(f);
    return true;
}

std::string Trim(const std::string &s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

bool SameWord(const std::string &a, const char *b) {
    return a.size() == std::strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool ParseNumber(const std::string &s, uint32_t *value) {
    if (s.empty()) {
        return false;
    }
    char *end = nullptr;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// "(name=value[:symbol] ...)", possibly over several lines from *at on.
bool ParseNames(const Source &src, size_t *at, std::string first, std::vector<Named> *names) {
    std::string all = first;
    while (all.find(')') == std::string::npos) {
        if (++*at >= src.lines.size()) {
            return Fail(src, *at - 1, "unterminated name list");
        }
        all += " " + src.lines[*at];
    }
    size_t open = all.find('(');
    size_t close = all.find(')');
    if (open == std::string::npos || close < open) {
        return Fail(src, *at, "name list without '('");
    }
    std::string body = all.substr(open + 1, close - open - 1);
    size_t pos = 0;
    while (pos < body.size()) {
        while (pos < body.size() && std::isspace(static_cast<unsigned char>(body[pos]))) {
            ++pos;
        }
        size_t end = pos;
        while (end < body.size() && !std::isspace(static_cast<unsigned char>(body[end]))) {
            ++end;
        }
        if (end == pos) {
            break;
        }
        std::string item = body.substr(pos, end - pos);
        pos = end;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            return Fail(src, *at, "name without '='");
        }
        std::string value = item.substr(eq + 1);
        value = value.substr(0, value.find(':'));
        Named n{item.substr(0, eq), 0};
        if (!ParseNumber(value, &n.value)) {
            return Fail(src, *at, "bad number in name list");
        }
        names->push_back(n);
    }
    return true;
}

bool Lookup(const std::vector<Named> &names, const std::string &name, uint32_t *value) {
    for (const Named &n : names) {
        if (SameWord(n.name, name.c_str())) {
            *value = n.value;
            return true;
        }
    }
    return false;
}

bool ParseMessages(const Source &src, std::vector<Entry> *out) {
    std::vector<Named> severities = {
        {"Success", 0}, {"Informational", 1}, {"Warning", 2}, {"Error", 3}};
    std::vector<Named> facilities = {{"System", 0x0FF}, {"Application", 0xFFF}};
    std::vector<Named> languages;
    uint32_t severity = 0;
    uint32_t facility = 0;
    uint32_t number = 0;
    bool have_number = false;
    bool message_open = false;

    for (size_t i = 0; i < src.lines.size(); ++i) {
        std::string line = Trim(src.lines[i]);
        if (line.empty() || line[0] == ';') {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            return Fail(src, i, "statement without '='");
        }
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (SameWord(key, "MessageIdTypedef") || SameWord(key, "OutputBase") ||
            SameWord(key, "SymbolicName")) {
            continue;
        }
        if (SameWord(key, "SeverityNames")) {
            severities.clear();
            if (!ParseNames(src, &i, value, &severities)) {
                return false;
            }
        } else if (SameWord(key, "FacilityNames")) {
            facilities.clear();
            if (!ParseNames(src, &i, value, &facilities)) {
                return false;
            }
        } else if (SameWord(key, "LanguageNames")) {
            if (!ParseNames(src, &i, value, &languages)) {
                return false;
            }
        } else if (SameWord(key, "MessageId")) {
            uint32_t n = number + 1;
            if (!value.empty() && !ParseNumber(value, &n)) {
                return Fail(src, i, "bad MessageId");
            }
            if (!value.empty() || have_number) {
                number = n;
            } else {
                number = 0;
            }
            if (number > 0xFFFF) {
                return Fail(src, i, "MessageId beyond 16 bits");
            }
            have_number = true;
            message_open = true;
        } else if (SameWord(key, "Severity")) {
            if (!Lookup(severities, value, &severity)) {
                return Fail(src, i, "unknown severity");
            }
        } else if (SameWord(key, "Facility")) {
            if (!Lookup(facilities, value, &facility)) {
                return Fail(src, i, "unknown facility");
            }
        } else if (SameWord(key, "Language")) {
            uint32_t lang;
            if (!message_open) {
                return Fail(src, i, "Language before MessageId");
            }
            if (!Lookup(languages, value, &lang)) {
                return Fail(src, i, "unknown language");
            }
            std::string text;
            size_t start = i;
            for (++i;; ++i) {
                if (i >= src.lines.size()) {
                    return Fail(src, start, "message text without its '.' line");
                }
                if (src.lines[i] == ".") {
                    break;
                }
                if (src.lines[i].find('%') != std::string::npos) {
                    return Fail(src, i, "'%' sequences are not supported");
                }
                text += src.lines[i] + "\r\n";
            }
            if (lang != 0x409) {
                continue;  // the program carries English (United States) texts
            }
            uint32_t id = (severity << 30) | kCustomerBit | (facility << 16) | number;
            for (const Entry &e : *out) {
                if (e.id == id) {
                    return Fail(src, start, "duplicate message ID");
                }
            }
            out->push_back({id, text});
        } else {
            return Fail(src, i, "unknown statement");
        }
    }
    return true;
}

// One string literal from s at *pos (on the opening quote).
bool ParseLiteral(const Source &src, size_t line, const std::string &s, size_t *pos,
                  std::string *text) {
    size_t p = *pos + 1;
    for (;;) {
        if (p >= s.size()) {
            return Fail(src, line, "unterminated string");
        }
        char c = s[p++];
        if (c == '"') {
            if (p < s.size() && s[p] == '"') {
                text->push_back('"');
                ++p;
                continue;
            }
            break;
        }
        if (c == '\\') {
            if (p >= s.size()) {
                return Fail(src, line, "unterminated string");
            }
            char e = s[p++];
            switch (e) {
                case 'n':
                    text->push_back('\n');
                    break;
                case 'r':
                    text->push_back('\r');
                    break;
                case 't':
                    text->push_back('\t');
                    break;
                case '\\':
                case '"':
                    text->push_back(e);
                    break;
                default:
                    return Fail(src, line, "unsupported escape");
            }
            continue;
        }
        text->push_back(c);
    }
    *pos = p;
    return true;
}

bool ParseStrings(const Source &src, std::vector<Entry> *out) {
    enum { kOutside, kHeader, kInside, kDone } state = kOutside;
    for (size_t i = 0; i < src.lines.size(); ++i) {
        std::string line = Trim(src.lines[i]);
        if (line.empty() || line.compare(0, 2, "//") == 0 || line[0] == '#') {
            continue;
        }
        size_t word_end = line.find_first_of(" \t,");
        std::string word = line.substr(0, word_end);
        if (state == kOutside || state == kDone) {
            if (SameWord(word, "LANGUAGE")) {
                continue;
            }
            if (SameWord(word, "STRINGTABLE") && state == kOutside) {
                state = kHeader;
                continue;
            }
            return Fail(src, i, "unexpected line outside the string table");
        }
        if (state == kHeader) {
            if (line == "BEGIN" || line == "{") {
                state = kInside;
                continue;
            }
            return Fail(src, i, "STRINGTABLE without BEGIN");
        }
        if (line == "END" || line == "}") {
            state = kDone;
            continue;
        }
        uint32_t id;
        if (!ParseNumber(word, &id) || id > 0xFFFF) {
            return Fail(src, i, "bad string id");
        }
        size_t pos = word_end;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == ',')) {
            ++pos;
        }
        if (pos >= line.size() || line[pos] != '"') {
            return Fail(src, i, "string id without a string");
        }
        std::string text;
        if (!ParseLiteral(src, i, line, &pos, &text)) {
            return false;
        }
        std::string rest = Trim(line.substr(pos));
        if (!rest.empty() && rest.compare(0, 2, "//") != 0) {
            return Fail(src, i, "text after the string");
        }
        for (const Entry &e : *out) {
            if (e.id == id) {
                return Fail(src, i, "duplicate string id");
            }
        }
        out->push_back({id, text});
    }
    if (state != kDone) {
        return Fail(src, src.lines.size(), "no complete STRINGTABLE");
    }
    return true;
}

void WriteTable(FILE *f, const char *name, std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.id < b.id; });
    std::fprintf(f, "extern const ResourceText %s[] = {\n", name);
    for (const Entry &e : entries) {
        std::fprintf(f, "    {0x%08Xu, \"", e.id);
        for (unsigned char c : e.text) {
            if (c == '"' || c == '\\') {
                std::fprintf(f, "\\%c", c);
            } else if (c < 0x20 || c >= 0x7F) {
                std::fprintf(f, "\\%03o", c);
            } else {
                std::fputc(c, f);
            }
        }
        std::fprintf(f, "\", %zu},\n", e.text.size());
    }
    std::fprintf(f, "};\nextern const size_t %sSize = %zu;\n\n", name, entries.size());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: resgen MESSAGES.mc STRINGS.rc OUT.cpp\n");
        return 1;
    }
    Source mc;
    Source rc;
    std::vector<Entry> messages;
    std::vector<Entry> strings;
    if (!ReadLines(argv[1], &mc) || !ReadLines(argv[2], &rc) || !ParseMessages(mc, &messages) ||
        !ParseStrings(rc, &strings)) {
        return 1;
    }
    FILE *f = std::fopen(argv[3], "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "%s: cannot create\n", argv[3]);
        return 1;
    }
    std::fprintf(f,
                 "// Generated by resgen from %s and %s.  Do not edit.\n"
                 "#include \"platform/posix/resource_tables.h\"\n\n",
                 argv[1], argv[2]);
    WriteTable(f, "kMessageTable", messages);
    WriteTable(f, "kStringTable", strings);
    if (std::fclose(f) != 0) {
        std::fprintf(stderr, "%s: cannot write\n", argv[3]);
        return 1;
    }
    return 0;
}
