// Test hooks of the trace log.
#pragma once

#include <cstdint>

// Forgets every setting and closes the trace file: the state before LogInit.
void LogResetForTest();

// Enables the categories of mask, as a DebugFlags setting would.
void LogSetMaskForTest(uint32_t mask);

// The enabled mask and the trace file base name as read.
uint32_t LogEnabledMask();
const char *LogBaseName();
// The name of the trace file last opened or tried ("" before any).
const char *LogCurrentFileName();
