#include "diag/errtext.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diag/debug.h"
#include "diag/errtext_testing.h"
#include "platform/syserr.h"

namespace {

constexpr size_t kTextSize = 128;
constexpr uint32_t kApplicationCodes = 0x20000000u;
constexpr uint32_t kNoErrorId = 10000;

std::atomic<const ErrTextOps *> ops{nullptr};

}  // namespace

void ErrTextSetForTest(const ErrTextOps *replacement) {
    ops.store(replacement);
}

int LoadErrorText(unsigned long code, char *buffer, size_t size) {
    // Error codes are 32-bit values, negative ones included.
    auto value = static_cast<int32_t>(static_cast<uint32_t>(code));
    if (value == 0) {
        value = kNoErrorId;
    }
    if (value < static_cast<int32_t>(kNoErrorId)) {
        return 0;
    }
    return static_cast<int>(ModuleStringText(static_cast<uint32_t>(value) & 0xFFFFu, buffer, size));
}

void TraceSysError(unsigned long code, const char *file, int line) {
    auto code32 = static_cast<uint32_t>(code);
    auto printed = static_cast<int32_t>(code32);
    bool application = code32 >= kApplicationCodes;

    char text[kTextSize];
    std::snprintf(text, sizeof text,
                  application ? "Unknown LocalSystem Error(%d)\n" : "Unknown Error(%d)\n",
                  static_cast<int>(printed));
    const char *where = file != nullptr ? BaseName(file) : "";

    if (LoadErrorText(code32, text, sizeof text) > 0) {
        LogEvent(Error, "SOCKET_ERROR(%0ld): %s(%s : L'%d)\n", static_cast<long>(printed), text,
                 where, line);
        return;
    }
    // Either lookup leaves the preset text when it finds nothing.
    if (application) {
        ModuleMessageText(code32, text, sizeof text);
    } else {
        const ErrTextOps *o = ops.load();
        (o != nullptr && o->systemText != nullptr ? o->systemText : SystemErrorText)(code32, text,
                                                                                     sizeof text);
    }
    LogEvent(Error, "SYSTEM_ERROR(%ld): %s (%s : L'%d)\n", static_cast<long>(printed), text, where,
             line);
}
