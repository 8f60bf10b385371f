// The event log: event sources and their reports (RegisterEventSourceA,
// ReportEventA, DeregisterEventSource), with Windows results.
//
// Windows: the NT event log on the local machine, no user SID.  POSIX: each
// report goes to the system log (syslog(3), ident the source name, which is
// "Tarnwick" for this program, facility daemon, priority from the event type)
// as one line naming the event ID, the category, the message-table text
// (platform/syserr.h) and the insertion strings.  When the environment
// variable TARNWICK_EVENTLOG names a file (read at every report), the report
// is appended there instead as one line:
//   source TAB type TAB category TAB event-id [TAB string]... LF
// with the type in decimal, the category as "0x%04X", the event ID as
// "0x%08X", and TAB, LF and backslash inside a string written \t, \n, \\.
// The line is written with one write call.  The stand-in keeps no raw data.
//
// Failures set the last error (errors.h) to a Windows error code.
// Thread-safe.
#pragma once

#include <cstdint>

#include "platform/errors.h"

using EventSourceHandle = uintptr_t;
constexpr EventSourceHandle kNoEventSource = 0;

// Event types.
constexpr uint16_t kEventSuccess = 0;
constexpr uint16_t kEventError = 1;
constexpr uint16_t kEventWarning = 2;
constexpr uint16_t kEventInformation = 4;
constexpr uint16_t kEventAuditSuccess = 8;
constexpr uint16_t kEventAuditFailure = 16;

// Registers the event source name on the local machine.  Returns its handle,
// or kNoEventSource with the last error set.  POSIX: at most 16 sources are
// registered at a time (kErrorNotEnoughMemory beyond); a name of more than
// 255 characters is refused (kErrorInvalidParameter).
EventSourceHandle EventSourceRegister(const char *name);

// Reports one event through source: type, category, event ID, count
// insertion strings (each zero-terminated) and data_size bytes of raw data
// (data may be nullptr when data_size is 0).  Returns nonzero on success; 0
// with the last error set on failure (kErrorInvalidHandle for a handle that
// is not registered).  On success the last error is left as it was.  POSIX:
// a line of more than 16383 bytes is refused (kErrorInvalidParameter); a file
// that cannot be opened or written gives the Windows code of its errno
// (kErrorFileNotFound, kErrorAccessDenied, kErrorDiskFull and so on: see
// platform/posix/errno_code.h); a short write kErrorDiskFull.
int EventSourceReport(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                      uint16_t count, const char *const *strings, uint32_t data_size,
                      const void *data);

// Deregisters source.  Returns nonzero on success; 0 with the last error set
// (kErrorInvalidHandle) when it is not registered.
int EventSourceDeregister(EventSourceHandle source);
