// Test hook of resolver.h: replaces the name service.
#pragma once

#include <cstddef>
#include <cstdint>

// Replacement look-ups, with the contracts of resolver.h.  A null member
// keeps the platform's own call.  A look-up may block (a test's slow name
// server): resolver.h's callers never hold a lock across one.
struct ResolverOps {
    int (*by_address)(uint32_t addr, char *name, size_t size);
    int (*by_name)(const char *host, uint32_t *addr, char *why, size_t size);
};

// Routes every resolver.h call through ops (which must outlive its use);
// nullptr restores the platform's own.
void ResolverSetForTest(const ResolverOps *ops);
