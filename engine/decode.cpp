// Datagram decoding: the priority part and the 7-bit, one-line text.
#include "engine/tarnwick.h"

namespace {

// Default priority of a datagram without a usable priority part: user.notice.
constexpr int kDefaultPri = 13;
// Highest valid priority: facility 127, severity 7.
constexpr int kMaxPri = 1023;
// Facility uucp, under which kernel messages from the network are filed.
constexpr int kUucpPri = 64;
// The line stops growing once it holds this many characters; a two-character
// form begun at 1023 still completes, so the line holds at most 1025.
constexpr int kLineLimit = 1024;
constexpr int kLineSize = kLineLimit + 2;
static_assert(kLineSize >= 1026, "the line holds 1025 characters and a NUL");

}  // namespace

int takeline(const char *sender, const char *datagram) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(datagram);
    int pri = kDefaultPri;
    if (*p == '<') {
        pri = 0;
        p++;
        while (*p >= '0' && *p <= '9') {
            // Saturates above the valid range, so that any number of digits
            // is simply out of range.
            if (pri <= kMaxPri) {
                pri = pri * 10 + (*p - '0');
            }
            p++;
        }
        if (*p == '>') {
            p++;
        }
    }
    if (pri < 0 || pri > kMaxPri) {
        pri = kDefaultPri;
    }
    if ((pri & 0x3f8) == 0) {
        pri = kUucpPri + (pri & 7);
    }

    char line[kLineSize];
    int n = 0;
    for (;; p++) {
        char c = static_cast<char>(*p & 0x7f);
        if (c == '\0' || n >= kLineLimit) {
            break;
        }
        if (c == '\n') {
            line[n++] = ' ';
        } else if (c < 0x20 || c == 0x7f) {
            line[n++] = '^';
            line[n++] = static_cast<char>(c ^ 0x40);
        } else {
            line[n++] = c;
        }
    }
    line[n] = '\0';

    logmsg(pri, line, sender, 0);
    return 0;
}
