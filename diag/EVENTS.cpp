#include "diag/EVENTS.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "diag/EVENTS_testing.h"
#include "diag/debug.h"
#include "platform/errors.h"
#include "platform/eventlog.h"
#include "service/service.h"

const uint32_t EventTypeFilter = 0xFF;
const char kTryingToStartText[] = "Trying to start tarnwick";
const char kDispatcherFailedText[] = "StartServiceCtrlDispatcher failed.";

namespace {

constexpr size_t kErrorStringSize = 256;

std::atomic<EventSourceHandle> standing{kNoEventSource};

}  // namespace

void EventsResetForTest() {
    standing.store(kNoEventSource);
}

int EventLogOpen() {
    if (standing.load() != kNoEventSource) {
        return 1;
    }
    EventSourceHandle source = EventSourceRegister(kServiceName);
    if (source == kNoEventSource) {
        LogEvent(Error, "Could not open event log, error %d\n",
                 static_cast<int>(PlatformLastError()));
        return 0;
    }
    standing.store(source);
    return 1;
}

int EventLogReport(uint16_t type, uint32_t event_id, uint16_t category, uint32_t data_size,
                   const void *data, unsigned count, ...) {
    EventSourceHandle source = standing.load();
    if (source == kNoEventSource) {
        LogEvent(Error, "Cannot log event, no handle!\n");
        return -1;
    }
    if (((EventTypeFilter >> (type % 32)) & 1) == 0) {
        return 0;
    }
    if (count > kMaxEventStrings) {
        count = kMaxEventStrings;
    }
    const char *strings[kMaxEventStrings] = {};
    va_list args;
    va_start(args, count);
    for (unsigned i = 0; i < count; ++i) {
        strings[i] = va_arg(args, const char *);
    }
    va_end(args);

    if (EventSourceReport(source, type, category, event_id, static_cast<uint16_t>(count),
                          count > 0 ? strings : nullptr, data_size, data) != 0) {
        LogEvent(Trace, "\nReportEvent( %u ) ok - %u\n", static_cast<unsigned>(event_id),
                 static_cast<unsigned>(PlatformLastError()));
        return 0;
    }
    auto code = static_cast<unsigned>(PlatformLastError());
    LogEvent(Trace, "\nReportEvent( %u ) failed - %u\n", static_cast<unsigned>(event_id), code);
    return static_cast<int>(code);
}

void EventLogClose() {
    EventSourceHandle source = standing.exchange(kNoEventSource);
    if (source != kNoEventSource) {
        EventSourceDeregister(source);
    }
}

void ReportServiceError(const char *text) {
    if (service.consoleMode) {
        return;
    }
    unsigned long code = PlatformLastError();
    EventSourceHandle source = EventSourceRegister(kServiceName);
    if (source == kNoEventSource) {
        return;
    }
    char first[kErrorStringSize];
    std::snprintf(first, sizeof first, "%s error: %d", kServiceName, static_cast<int>(code));
    const char *strings[2] = {first, text != nullptr ? text : ""};
    EventSourceReport(source, kEventError, 0, 0, 2, strings, 0, nullptr);
    EventSourceDeregister(source);
}

int ReportServiceStartEvent() {
    return EventLogReport(kStartEventType, kStartEventId, kStartEventCategory, 0, nullptr, 0);
}

void ReportServiceStartError() {
    ReportServiceError(kTryingToStartText);
}
