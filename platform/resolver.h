// The name service: reverse look-up of a sender's address and forward look-up
// of a forwarding host.
//
// Calls the platform's thread-safe resolver (getnameinfo and getaddrinfo on
// POSIX, the Winsock calls on Windows), or the functions a test installed
// with ResolverSetForTest (resolver_testing.h).  No test depends on this
// machine's name service.
//
// Thread-safe.  A look-up may take as long as the name service does (tens of
// seconds when a server never answers): never call one holding a lock that
// other work waits for.
#pragma once

#include <cstddef>
#include <cstdint>

// Reverse look-up of the IPv4 address addr (network byte order).  Returns 0
// and the host's official name in name (size bytes, cut to fit) when the name
// service knows one; -1 when it does not (name is then untouched).
int ResolveAddress(uint32_t addr, char *name, size_t size);

// Forward look-up of host.  Returns 0 and the first IPv4 address (network
// byte order); -1 when the host is unknown, with the resolver's own text for
// the failure in why (size bytes, cut to fit; "" when it gives none).
int ResolveHost(const char *host, uint32_t *addr, char *why, size_t size);
