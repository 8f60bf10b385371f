// The system's name service behind resolver.h, one per platform (posix/,
// win32/); platform/common/resolver.cpp calls it unless a test hook is set.
//
// Thread-safe as the system's look-ups are.  Results as in resolver.h: 0, or
// -1 when the name or address is unknown (outputs then untouched).
#pragma once

#include <cstddef>
#include <cstdint>

// Host name of the IPv4 address addr (network order) into name (size bytes).
int SystemResolveAddress(uint32_t addr, char *name, size_t size);
// First IPv4 address of host, in network order, into *addr; on failure the
// resolver's text for it into why (size bytes, cut to fit).
int SystemResolveHost(const char *host, uint32_t *addr, char *why, size_t size);
