#include "platform/eventlog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/common/eventlog_system.h"
#include "platform/errors.h"
#include "platform/posix/errno_code.h"
#include "platform/posix/eventlog_line.h"
#include "platform/syserr.h"

namespace {

constexpr size_t kMaxSources = 16;
constexpr size_t kNameSize = 256;
constexpr size_t kLineSize = 16384;
constexpr size_t kTextSize = 512;

// Registered sources; a handle is the slot's index plus one.  The name stays
// put while registered, since openlog keeps the pointer it is given.
struct SourceSlot {
    bool used;
    char name[kNameSize];
};

struct EventLogState {
    std::mutex lock;
    SourceSlot slots[kMaxSources];
};
EventLogState state;

SourceSlot *SlotOf(EventSourceHandle source) {
    if (source == kNoEventSource || source > kMaxSources) {
        return nullptr;
    }
    SourceSlot *slot = &state.slots[source - 1];
    return slot->used ? slot : nullptr;
}

// Appends len bytes at *at; false when they do not fit with a terminator.
bool Put(char *out, size_t size, size_t *at, const char *text, size_t len) {
    if (*at + len + 1 > size) {
        return false;
    }
    std::memcpy(out + *at, text, len);
    *at += len;
    out[*at] = '\0';
    return true;
}

bool PutString(char *out, size_t size, size_t *at, const char *text) {
    return Put(out, size, at, text, std::strlen(text));
}

int AppendToFile(const char *path, const char *line, size_t len) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        PlatformSetLastError(WindowsErrorOfErrno(errno));
        return 0;
    }
    ssize_t n;
    do {
        n = write(fd, line, len);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    close(fd);
    if (n < 0 || static_cast<size_t>(n) != len) {
        PlatformSetLastError(n < 0 ? WindowsErrorOfErrno(err) : kErrorDiskFull);
        return 0;
    }
    return 1;
}

}  // namespace

size_t EventFileLine(const char *source, uint16_t type, uint16_t category, uint32_t event_id,
                     uint16_t count, const char *const *strings, char *out, size_t size) {
    size_t at = 0;
    char head[64];
    int n = std::snprintf(head, sizeof head, "\t%u\t0x%04X\t0x%08X", static_cast<unsigned>(type),
                          static_cast<unsigned>(category), static_cast<unsigned>(event_id));
    if (!PutString(out, size, &at, source) || !Put(out, size, &at, head, static_cast<size_t>(n))) {
        return 0;
    }
    for (uint16_t i = 0; i < count; ++i) {
        if (!Put(out, size, &at, "\t", 1)) {
            return 0;
        }
        const char *s = strings[i] != nullptr ? strings[i] : "";
        for (; *s != '\0'; ++s) {
            bool ok = *s == '\t'   ? Put(out, size, &at, "\\t", 2)
                      : *s == '\n' ? Put(out, size, &at, "\\n", 2)
                      : *s == '\\' ? Put(out, size, &at, "\\\\", 2)
                                   : Put(out, size, &at, s, 1);
            if (!ok) {
                return 0;
            }
        }
    }
    return Put(out, size, &at, "\n", 1) ? at : 0;
}

size_t EventSyslogLine(uint16_t category, uint32_t event_id, uint16_t count,
                       const char *const *strings, char *out, size_t size) {
    if (size == 0) {
        return 0;
    }
    char text[kTextSize];
    size_t length = ModuleMessageText(event_id, text, sizeof text);
    // One blank for each line end; none at the end.
    size_t kept = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\r') {
            continue;
        }
        text[kept++] = text[i] == '\n' ? ' ' : text[i];
    }
    while (kept > 0 && text[kept - 1] == ' ') {
        --kept;
    }
    text[kept] = '\0';

    int n = std::snprintf(out, size, "event 0x%08X, category 0x%04X: %s",
                          static_cast<unsigned>(event_id), static_cast<unsigned>(category),
                          kept > 0 ? text : "(no message text)");
    size_t at = n < 0 ? 0 : (static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1);
    for (uint16_t i = 0; i < count && at + 1 < size; ++i) {
        n = std::snprintf(out + at, size - at, "%s\"%s\"", i == 0 ? "; strings: " : ", ",
                          strings[i] != nullptr ? strings[i] : "");
        at = n < 0 ? at
                   : (at + static_cast<size_t>(n) < size ? at + static_cast<size_t>(n) : size - 1);
    }
    return at;
}

int EventSyslogPriority(uint16_t type) {
    switch (type) {
        case kEventError:
        case kEventAuditFailure:
            return LOG_ERR;
        case kEventWarning:
            return LOG_WARNING;
        case kEventInformation:
            return LOG_INFO;
        default:
            return LOG_NOTICE;
    }
}

EventSourceHandle SystemEventSourceRegister(const char *name) {
    if (name == nullptr || std::strlen(name) >= kNameSize) {
        PlatformSetLastError(kErrorInvalidParameter);
        return kNoEventSource;
    }
    std::lock_guard<std::mutex> guard(state.lock);
    for (size_t i = 0; i < kMaxSources; ++i) {
        SourceSlot &slot = state.slots[i];
        if (!slot.used) {
            slot.used = true;
            std::snprintf(slot.name, sizeof slot.name, "%s", name);
            return static_cast<EventSourceHandle>(i + 1);
        }
    }
    PlatformSetLastError(kErrorNotEnoughMemory);
    return kNoEventSource;
}

int SystemEventSourceReport(EventSourceHandle source, uint16_t type, uint16_t category,
                            uint32_t event_id, uint16_t count, const char *const *strings,
                            uint32_t data_size, const void *data) {
    (void)data_size;  // the stand-in keeps no raw data
    (void)data;
    std::lock_guard<std::mutex> guard(state.lock);
    SourceSlot *slot = SlotOf(source);
    if (slot == nullptr || (count > 0 && strings == nullptr)) {
        PlatformSetLastError(slot == nullptr ? kErrorInvalidHandle : kErrorInvalidParameter);
        return 0;
    }
    char line[kLineSize];
    const char *file = std::getenv("TARNWICK_EVENTLOG");
    if (file != nullptr && *file != '\0') {
        size_t len =
            EventFileLine(slot->name, type, category, event_id, count, strings, line, sizeof line);
        if (len == 0) {
            PlatformSetLastError(kErrorInvalidParameter);
            return 0;
        }
        return AppendToFile(file, line, len);
    }
    EventSyslogLine(category, event_id, count, strings, line, sizeof line);
    openlog(slot->name, LOG_PID, LOG_DAEMON);
    syslog(EventSyslogPriority(type), "%s", line);
    closelog();
    return 1;
}

int SystemEventSourceDeregister(EventSourceHandle source) {
    std::lock_guard<std::mutex> guard(state.lock);
    SourceSlot *slot = SlotOf(source);
    if (slot == nullptr) {
        PlatformSetLastError(kErrorInvalidHandle);
        return 0;
    }
    slot->used = false;
    return 1;
}
