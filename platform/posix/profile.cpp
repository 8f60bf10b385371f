#include "platform/profile.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/textfile.h"

namespace {

const char *ProfilePath() {
    const char *path = std::getenv("TARNWICK_PROFILE");
    return path != nullptr && path[0] != '\0' ? path : "/etc/tarnwick/win.ini";
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Trims blanks (and the line end) at both ends, in place.
char *Trim(char *s) {
    while (IsBlank(*s)) {
        ++s;
    }
    size_t len = std::strlen(s);
    while (len > 0 && (IsBlank(s[len - 1]) || s[len - 1] == '\n' || s[len - 1] == '\r')) {
        s[--len] = '\0';
    }
    return s;
}

size_t Copy(const char *value, char *out, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t len = std::strlen(value);
    if (len > size - 1) {
        len = size - 1;
    }
    std::memcpy(out, value, len);
    out[len] = '\0';
    return len;
}

}  // namespace

size_t ProfileString(const char *section, const char *key, const char *def, char *out,
                     size_t size) {
    FILE *f = TextOpen(ProfilePath(), "r");
    if (f == nullptr) {
        return Copy(def, out, size);
    }
    char buf[4096];
    bool in_section = false;
    size_t result = 0;
    bool found = false;
    while (!found && std::fgets(buf, sizeof buf, f) != nullptr) {
        char *line = Trim(buf);
        if (line[0] == ';' || line[0] == '\0') {
            continue;
        }
        if (line[0] == '[') {
            char *end = std::strchr(line, ']');
            if (end != nullptr) {
                *end = '\0';
            }
            in_section = strcasecmp(Trim(line + 1), section) == 0;
            continue;
        }
        char *eq = std::strchr(line, '=');
        if (!in_section || eq == nullptr) {
            continue;
        }
        *eq = '\0';
        if (strcasecmp(Trim(line), key) != 0) {
            continue;
        }
        // The first of two equal keys wins; one pair of enclosing quotes goes.
        char *value = Trim(eq + 1);
        size_t len = std::strlen(value);
        if (len >= 2 && (value[0] == '"' || value[0] == '\'') && value[len - 1] == value[0]) {
            value[len - 1] = '\0';
            ++value;
        }
        result = Copy(value, out, size);
        found = true;
    }
    std::fclose(f);
    return found ? result : Copy(def, out, size);
}
