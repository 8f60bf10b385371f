// The system's name service behind resolver.h.
#include "platform/common/resolver_system.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <cstdio>
#include <cstring>

#include "platform/syserr.h"
#include "platform/win32/winsock_start.h"

int SystemResolveAddress(uint32_t addr, char *name, size_t size) {
    if (WinsockStart() != 0) {
        return -1;
    }
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<struct sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0) {
        return -1;
    }
    std::snprintf(name, size, "%s", host);
    return 0;
}

namespace {

// The system's text for a Winsock error code, without its line end.
void FailureText(int code, char *why, size_t size) {
    char text[512];
    size_t len = SystemErrorText(static_cast<unsigned long>(code), text, sizeof text);
    while (len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n' || text[len - 1] == ' ')) {
        text[--len] = '\0';
    }
    if (len > 0) {
        std::snprintf(why, size, "%s", text);
    } else {
        std::snprintf(why, size, "error %d", code);
    }
}

}  // namespace

int SystemResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    int rc = WinsockStart();
    if (rc != 0) {
        FailureText(rc, why, size);
        return -1;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0) {
        FailureText(rc, why, size);
        return -1;
    }
    if (res == nullptr) {
        return -1;  // no address and no text for it
    }
    *addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 0;
}
