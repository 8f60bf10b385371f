// Event log reporting: the service's standing event source "Tarnwick", its
// reports, and the one-shot error report of service failures.
//
// EventLogOpen registers the standing source; EventLogReport reports through
// it while it is open; EventLogClose deregisters it once, when the service
// stops.  ReportServiceError reports through a source of its own and may be
// called at any time, before EventLogOpen too; in console mode it does
// nothing.  The reports' own diagnostics go to the trace log (debug.h);
// ReportServiceError traces nothing.
//
// The event texts stand in the program's message table (resources/
// tarnwick.mc).  Event sources go through platform/eventlog.h.
//
// Thread-safety: reports come from the service thread or the main thread;
// EventLogClose may run on another thread after the last report.  The
// standing handle is read and written atomically; nothing else is shared.
#pragma once

#include <cstdint>

// The event types a report may pass: bit n set passes type n (taken modulo
// 32).  0xFF: success, error, warning and information pass; the audit types
// (8, 16) are dropped.  Nothing changes it.
extern const uint32_t EventTypeFilter;

// Insertion strings a report passes at most.
constexpr unsigned kMaxEventStrings = 8;

// The service start report: an error-type event 0x200003E8 of category 0x8001.
constexpr uint16_t kStartEventType = 1;
constexpr uint32_t kStartEventId = 0x200003E8u;
constexpr uint16_t kStartEventCategory = 0x8001;

// Texts of ReportServiceError.
extern const char kTryingToStartText[];     // "Trying to start tarnwick"
extern const char kDispatcherFailedText[];  // "StartServiceCtrlDispatcher failed."

// Registers the standing source "Tarnwick" on the local machine.  Returns 1;
// on failure traces "Could not open event log, error %d\n" (Error) with the
// system error code and returns 0.  While the source is open a second call
// keeps it and returns 1.
int EventLogOpen();

// Reports an event through the standing source: type, event ID, category,
// data_size bytes of data (nullptr for none), and count insertion strings
// (const char *) as further arguments, of which the first 8 are passed.
// Returns 0 when the event was reported, or filtered out by EventTypeFilter
// (silently); -1 without a standing source ("Cannot log event, no handle!\n",
// Error); otherwise the system error code of the failed report.  Traces
// "\nReportEvent( %u ) ok - %u\n" with the event ID and the thread's last
// error, or "\nReportEvent( %u ) failed - %u\n" with the event ID and the
// error code (Trace).
int EventLogReport(uint16_t type, uint32_t event_id, uint16_t category, uint32_t data_size,
                   const void *data, unsigned count, ...);

// Deregisters the standing source; reports after it find no handle.
void EventLogClose();

// Reports one error event (type 1, category 0, event ID 0) with the strings
// "Tarnwick error: %d" (the thread's last system error code, taken first)
// and text, through a source registered for this report only.  Does nothing
// in console mode (service.consoleMode).  Failures are silent; the standing
// source is neither used nor changed.
void ReportServiceError(const char *text);

// The two reports of every service start: the start event (EventLogReport of
// kStartEventType, kStartEventId, kStartEventCategory, no data, no strings;
// its result returned), and, once the start-up settings are read,
// ReportServiceError(kTryingToStartText).
int ReportServiceStartEvent();
void ReportServiceStartError();
