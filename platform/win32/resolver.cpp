#include "platform/resolver.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/resolver_testing.h"
#include "platform/win32/winsock_start.h"

namespace {

std::atomic<ResolveAddressFn> by_address_hook{nullptr};
std::atomic<ResolveHostFn> by_name_hook{nullptr};

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

int SystemResolveHost(const char *host, uint32_t *addr) {
    if (WinsockStart() != 0) {
        return -1;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
        return -1;
    }
    *addr = reinterpret_cast<struct sockaddr_in *>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return 0;
}

}  // namespace

void ResolverSet(ResolveAddressFn by_address, ResolveHostFn by_name) {
    by_address_hook.store(by_address);
    by_name_hook.store(by_name);
}

int ResolveAddress(uint32_t addr, char *name, size_t size) {
    ResolveAddressFn hook = by_address_hook.load();
    return hook != nullptr ? hook(addr, name, size) : SystemResolveAddress(addr, name, size);
}

int ResolveHost(const char *host, uint32_t *addr) {
    ResolveHostFn hook = by_name_hook.load();
    return hook != nullptr ? hook(host, addr) : SystemResolveHost(host, addr);
}
