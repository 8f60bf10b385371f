// Test hooks of the sender names (engine/names.cpp): the cache of answers,
// the pool of waiting datagrams and the resolver threads.
#pragma once

#include <cstdint>

// The set (0 to kNameCacheSets - 1) of the address addr (network byte order):
// an address always lands in the same set.
int NameCacheSetOf(uint32_t addr);

// Waits until no look-up is queued or under way (every answer delivered).
// Returns 0, or -1 when that has not happened within timeout_ms.
int NamesIdleForTest(int timeout_ms);

// Waits (at most 10 s) until no look-up is under way, then forgets every
// cached answer, every waiting datagram and every look-up slot.
void NamesResetForTest();
