// Test hooks of the trace log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Forgets every setting and closes the trace file: the state before LogInit.
void LogResetForTest();

// Enables the categories of mask, as a DebugFlags setting would.
void LogSetMaskForTest(uint32_t mask);

// The enabled mask and the trace file base name as read.
uint32_t LogEnabledMask();
const char *LogBaseName();
// The name of the trace file last opened or tried ("" before any).
const char *LogCurrentFileName();

// Row of a LogDump at offset, as it goes to the debugger: count bytes (at
// most width) of bytes as width columns, "\n" included.
std::string LogDumpRowForTest(size_t offset, const unsigned char *bytes, size_t count,
                              size_t width);
