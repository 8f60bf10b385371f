// eventlog.h on both platforms: the replacement calls of a test
// (EventLogSetForTest) in front of the platform's own
// (platform/common/eventlog_system.h).
#include "platform/eventlog.h"

#include <atomic>

#include "platform/common/eventlog_system.h"
#include "platform/eventlog_testing.h"

namespace {
std::atomic<const EventLogOps *> ops{nullptr};
}

EventSourceHandle EventSourceRegister(const char *name) {
    const EventLogOps *o = ops.load();
    return o != nullptr && o->registerSource != nullptr ? o->registerSource(name)
                                                        : SystemEventSourceRegister(name);
}

int EventSourceReport(EventSourceHandle source, uint16_t type, uint16_t category, uint32_t event_id,
                      uint16_t count, const char *const *strings, uint32_t data_size,
                      const void *data) {
    const EventLogOps *o = ops.load();
    return o != nullptr && o->report != nullptr
               ? o->report(source, type, category, event_id, count, strings, data_size, data)
               : SystemEventSourceReport(source, type, category, event_id, count, strings,
                                         data_size, data);
}

int EventSourceDeregister(EventSourceHandle source) {
    const EventLogOps *o = ops.load();
    return o != nullptr && o->deregister != nullptr ? o->deregister(source)
                                                    : SystemEventSourceDeregister(source);
}

void EventLogSetForTest(const EventLogOps *replacement) {
    ops.store(replacement);
}
