// Test hook of EVENTS.h: the standing source's reset.  The event sources
// themselves are faked through platform/eventlog_testing.h.
#pragma once

// Forgets the standing source without deregistering it: the state at
// program start.
void EventsResetForTest();
