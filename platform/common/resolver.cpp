// resolver.h on both platforms: the test hooks in front of the system's name
// service (platform/common/resolver_system.h).
#include "platform/resolver.h"

#include <atomic>

#include "platform/common/resolver_system.h"
#include "platform/resolver_testing.h"

namespace {

std::atomic<ResolveAddressFn> by_address_hook{nullptr};
std::atomic<ResolveHostFn> by_name_hook{nullptr};

}  // namespace

void ResolverSet(ResolveAddressFn by_address, ResolveHostFn by_name) {
    by_address_hook.store(by_address);
    by_name_hook.store(by_name);
}

int ResolveAddress(uint32_t addr, char *name, size_t size) {
    ResolveAddressFn hook = by_address_hook.load();
    return hook != nullptr ? hook(addr, name, size) : SystemResolveAddress(addr, name, size);
}

int ResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    if (size > 0) {
        why[0] = '\0';
    }
    ResolveHostFn hook = by_name_hook.load();
    return hook != nullptr ? hook(host, addr, why, size) : SystemResolveHost(host, addr, why, size);
}
