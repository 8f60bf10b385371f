// Test hooks of the sender names (engine/names.cpp): the cache of answers,
// the pool of waiting datagrams and the resolver threads.
//
// The cache holds kNameCacheSets sets of kNameCacheWays entries, keyed by the
// IPv4 address; an address always lands in the set NameCacheSetOf gives.  A
// found name is kept kNameTtl seconds, a failed look-up kFailureTtl seconds,
// both measured with ClockNow.  A datagram waits at most kNameWaitMs for its
// sender's name, measured with ClockMillis; kNamePoolDatagrams wait at most,
// for the senders of kLookupSlots look-ups, asked by kResolverThreads
// threads.
#pragma once

#include <cstdint>

constexpr int kNameCacheSets = 64;
constexpr int kNameCacheWays = 4;
constexpr int kNameTtl = 300;
constexpr int kFailureTtl = 60;
constexpr int kNameWaitMs = 2000;
constexpr int kNamePoolDatagrams = 4096;
constexpr int kLookupSlots = 64;
constexpr int kResolverThreads = 4;

// The set (0 to kNameCacheSets - 1) of the address addr (network byte order).
int NameCacheSetOf(uint32_t addr);

// Waits until no look-up is queued or under way (every answer delivered).
// Returns 0, or -1 when that has not happened within timeout_ms.
int NamesIdleForTest(int timeout_ms);

// Waits (at most 10 s) until no look-up is under way, then forgets every
// cached answer, every waiting datagram and every look-up slot.
void NamesResetForTest();
