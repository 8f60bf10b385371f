// The lines of the POSIX event log stand-in (platform/eventlog.h), exposed
// so that tests can pin them without the system log.
//
// Thread-safe: no state.
#pragma once

#include <cstddef>
#include <cstdint>

// The TARNWICK_EVENTLOG line of one report, its LF included, into out (size
// bytes, terminator included).  Returns its length, or 0 when it does not fit
// (out is then unspecified).
size_t EventFileLine(const char *source, uint16_t type, uint16_t category, uint32_t event_id,
                     uint16_t count, const char *const *strings, char *out, size_t size);

// The system-log line of one report, without line end:
//   event 0x%08X, category 0x%04X: TEXT[; strings: "S1", "S2"...]
// TEXT is the message-table text of event_id with each line end (CR LF) made
// one blank and the blanks at its end dropped, or "(no message text)".  A
// line longer than size - 1 is cut.  Returns the length written.
size_t EventSyslogLine(uint16_t category, uint32_t event_id, uint16_t count,
                       const char *const *strings, char *out, size_t size);

// The system-log priority (LOG_ERR, ...) of an event type.
int EventSyslogPriority(uint16_t type);
