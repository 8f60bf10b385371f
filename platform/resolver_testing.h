// Test hook of resolver.h: replaces the name service.
#pragma once

#include <cstddef>
#include <cstdint>

using ResolveAddressFn = int (*)(uint32_t addr, char *name, size_t size);
using ResolveHostFn = int (*)(const char *host, uint32_t *addr, char *why, size_t size);

// Installs look-up functions; nullptr restores the platform's for that call.
void ResolverSet(ResolveAddressFn by_address, ResolveHostFn by_name);
