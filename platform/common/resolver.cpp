// resolver.h on both platforms: the test hooks in front of the system's name
// service (platform/common/resolver_system.h).
#include "platform/resolver.h"

#include <atomic>

#include "platform/common/resolver_system.h"
#include "platform/resolver_testing.h"

namespace {

std::atomic<const ResolverOps *> hooks{nullptr};

}  // namespace

void ResolverSetForTest(const ResolverOps *ops) {
    hooks.store(ops);
}

int ResolveAddress(uint32_t addr, char *name, size_t size) {
    const ResolverOps *ops = hooks.load();
    return ops != nullptr && ops->by_address != nullptr ? ops->by_address(addr, name, size)
                                                        : SystemResolveAddress(addr, name, size);
}

int ResolveHost(const char *host, uint32_t *addr, char *why, size_t size) {
    if (size > 0) {
        why[0] = '\0';
    }
    const ResolverOps *ops = hooks.load();
    return ops != nullptr && ops->by_name != nullptr ? ops->by_name(host, addr, why, size)
                                                     : SystemResolveHost(host, addr, why, size);
}
