// The trace log: the daemon's own diagnostic output.
//
// Every module writes through LogEvent with a category mask and a printf
// format.  A line whose category is enabled goes to the debugger channel
// (platform/debugger.h) as "%03X> %s: " (thread id, 8-character label)
// followed by the caller's text, and, when a trace file is configured, behind
// a "%02d/%02d %02d:%02d:%02d.%03d: " local time stamp to the daily trace
// file "<base>_YYYYMMDD.LOG".  Callers end their formats with "\n".
//
// Settings come from the TARNWICK section of the profile (platform/profile.h):
// DebugFlags, comma-separated keywords of the categories below (case does not
// matter, blanks do); LogFile, the trace file's name, whose extension is cut
// off.  Without DebugFlags nothing is traced.
//
// Thread-safety: one lock serialises every trace operation; nothing that runs
// under it traces.  The settings are fixed by LogInit before other threads
// start.
#pragma once

#include <cstddef>
#include <cstdint>

// Trace categories (bits of a mask).
enum TraceCategory : uint32_t {
    Trace = 0x01,
    Warning = 0x02,
    Error = 0x04,
    Network = 0x08,
    InOut = 0x10,
    Database = 0x20,
};

// Reads the settings of section and traces "DebugFlags=%08X\n".  Called once,
// first thing in the process.
void LogInit(const char *section);

// Writes one trace line when any bit of mask is enabled.  The label is that of
// the highest of the six bits in mask.  A text that does not fit the 8192-byte
// line reaches the debugger channel as
// "LogEvent:  Could not pack string into 5012 bytes\n" instead, and the trace
// file as far as it fitted.
void LogEvent(uint32_t mask, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Traces a heading from format, then data as rows of width bytes ("[%04X] :",
// the bytes as "%02X " when width > 10 or "%02d " otherwise, then the
// printable characters).  The label is that of the lowest bit in mask.
void LogDump(uint32_t mask, const void *data, size_t length, size_t width, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
