// The system's name service behind resolver.h.
#include "platform/common/resolver_system.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/errors.h"

int SystemResolveAddress(uint32_t addr, char *name, size_t size) {
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

int SystemResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0) {
        const char *text = rc == EAI_SYSTEM ? RuntimeErrorText(errno) : gai_strerror(rc);
        std::snprintf(why, size, "%s", text != nullptr ? text : "");
        return -1;
    }
    if (res == nullptr) {
        return -1;  // no address and no text for it
    }
    *addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 0;
}
