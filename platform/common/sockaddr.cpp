// The dotted quad of sockets.h on both platforms, made by hand: it is made for
// every datagram received, and the C library's formatting costs more than the
// rest of the sender's name.
#include "platform/sockets.h"

char *SockAddrText(uint32_t addr, char *out) {
    // Network byte order: the first byte in memory is the first number.
    const auto *b = reinterpret_cast<const unsigned char *>(&addr);
    char *p = out;
    for (int i = 0; i < 4; ++i) {
        unsigned v = b[i];
        if (v >= 100) {
            *p++ = static_cast<char>('0' + v / 100);
        }
        if (v >= 10) {
            *p++ = static_cast<char>('0' + v / 10 % 10);
        }
        *p++ = static_cast<char>('0' + v % 10);
        *p++ = i < 3 ? '.' : '\0';
    }
    return out;
}
