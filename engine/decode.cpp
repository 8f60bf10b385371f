#include "engine/tarnwick.h"

// Placeholder until decoding lands.
const char *cvthname(const SockAddrIn *) {
    return "???";
}
int takeline(const char *sender, const char *datagram) {
    logmsg(13, datagram, sender, 0);
    return 0;
}
