// Test hooks of the sender-name cache kept by cvthname.
//
// The cache holds kNameCacheSets sets of kNameCacheWays entries, keyed by the
// IPv4 address; an address always lands in the set NameCacheSetOf gives.  A
// found name is kept kNameTtl seconds, a failed look-up kFailureTtl seconds,
// both measured with ClockNow.
#pragma once

#include <cstdint>

constexpr int kNameCacheSets = 64;
constexpr int kNameCacheWays = 4;
constexpr int kNameTtl = 300;
constexpr int kFailureTtl = 60;

// Forgets every cached answer.
void NameCacheClearForTest();

// The set (0 to kNameCacheSets - 1) of the address addr (network byte order).
int NameCacheSetOf(uint32_t addr);
