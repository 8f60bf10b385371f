#include "diag/debug.h"

#include <strings.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/dailyname.h"
#include "diag/debug_testing.h"
#include "diag/errtext.h"
#include "platform/clock.h"
#include "platform/debugger.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/textfile.h"

namespace {

struct CategoryRow {
    uint32_t bit;
    const char *keyword;
    const char *label;  // exactly 8 characters
};

constexpr CategoryRow kCategories[] = {
    {Trace, "Trace", "Trace   "},  {Warning, "Warning", "Warning "},
    {Error, "Error", "Error   "},  {Network, "Network", "Network "},
    {InOut, "In/Out", "In/Out  "}, {Database, "Database", "Database"},
};
constexpr int kCategoryCount = sizeof kCategories / sizeof kCategories[0];

constexpr size_t kLineSize = 8192;
constexpr size_t kDumpSize = 512;
constexpr size_t kSettingSize = 128;
constexpr char kOverflowText[] = "LogEvent:  Could not pack string into 5012 bytes\n";

// The trace log's state: settings fixed by LogInit, the open trace file.
struct TraceState {
    // Fixed by LogInit before other threads start; read without the lock, so
    // that a disabled category costs one load and one AND.
    std::atomic<uint32_t> enabled{0};
    char basename[128] = {};                // LogFile without its extension
    char currentname[DAILYNAME_SIZE] = {};  // the trace file last opened or tried
    FILE *stream = nullptr;
    std::mutex lock;
};
TraceState trace;

// Restores errno on every way out, so that tracing never disturbs an error
// number that the caller is about to report.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

  private:
    int saved_;
};

const char *HighestLabel(uint32_t mask) {
    for (int i = kCategoryCount - 1; i >= 0; --i) {
        if ((mask & kCategories[i].bit) != 0) {
            return kCategories[i].label;
        }
    }
    return kCategories[0].label;
}

const char *LowestLabel(uint32_t mask) {
    for (const CategoryRow &row : kCategories) {
        if ((mask & row.bit) != 0) {
            return row.label;
        }
    }
    return kCategories[0].label;
}

// Writes the time stamp of a trace file line.
void WriteFileStamp() {
    LocalTimeMs now;
    ClockLocalNow(&now);
    std::fprintf(trace.stream, "%02d/%02d %02d:%02d:%02d.%03d: ", now.month, now.day, now.hour,
                 now.minute, now.second, now.millis);
}

// A dump row: "[offset] :" with 4 to 16 hexadecimal digits, then per column
// "%02X " (three characters; "%02d " takes up to four, but only in rows of at
// most 10 columns) and the byte itself, three blanks between, "\n" and the
// terminator.
constexpr size_t kMaxDumpWidth = 124;
constexpr size_t kDumpRowSize = sizeof "[FFFFFFFFFFFFFFFF] :" - 1 + 4 * kMaxDumpWidth + 3 + 2;

// Row of a dump at offset: count bytes (at most width) as width columns,
// three blanks and the printable bytes, "\n".
void FormatDumpRow(char (&row)[kDumpRowSize], size_t offset, const unsigned char *bytes,
                   size_t count, size_t width) {
    size_t used = static_cast<size_t>(
        std::snprintf(row, sizeof row, "[%04llX] :", static_cast<unsigned long long>(offset)));
    for (size_t col = 0; col < width; ++col) {
        if (col < count) {
            used += static_cast<size_t>(std::snprintf(row + used, sizeof row - used,
                                                      width > 10 ? "%02X " : "%02d ", bytes[col]));
        } else {
            used += static_cast<size_t>(std::snprintf(row + used, sizeof row - used, "   "));
        }
    }
    used += static_cast<size_t>(std::snprintf(row + used, sizeof row - used, "   "));
    for (size_t col = 0; col < count; ++col) {
        row[used++] = std::isprint(bytes[col]) ? static_cast<char>(bytes[col]) : '.';
    }
    row[used++] = '\n';
    row[used] = '\0';
}

}  // namespace

std::string LogDumpRowForTest(size_t offset, const unsigned char *bytes, size_t count,
                              size_t width) {
    char row[kDumpRowSize];
    FormatDumpRow(row, offset, bytes, count, width);
    return row;
}

void LogReadSettings(const char *section) {
    char flags[kSettingSize];
    ProfileString(section, "DebugFlags", "", flags, sizeof flags);
    // Tokens between commas; empty ones are skipped, blanks are kept.
    for (char *token = flags; *token != '\0';) {
        char *end = std::strchr(token, ',');
        if (end != nullptr) {
            *end = '\0';
        }
        if (*token != '\0') {
            for (const CategoryRow &row : kCategories) {
                if (strcasecmp(token, row.keyword) == 0) {
                    trace.enabled.fetch_or(row.bit);
                    break;
                }
            }
        }
        if (end == nullptr) {
            break;
        }
        token = end + 1;
    }

    char file[kSettingSize];
    ProfileString(section, "LogFile", "", file, sizeof file);
    if (file[0] != '\0') {
        std::snprintf(trace.basename, sizeof trace.basename, "%s", file);
        // The extension goes: a '.' in the last component of the path, so
        // that a folder such as log.d keeps its name.
        const char *dot = std::strrchr(BaseName(trace.basename), '.');
        if (dot != nullptr) {
            trace.basename[dot - trace.basename] = '\0';
        }
    }
}

void LogInit(const char *section) {
    LogReadSettings(section);
    LogEvent(Trace, "DebugFlags=%08X\n", trace.enabled.load());
}

namespace {

// Switches the trace file when the local date has changed.  Called with the
// trace lock held.
void LogCheckDay() {
    if (trace.basename[0] == '\0') {
        return;
    }
    struct tm tm;
    ClockLocal(ClockNow(), &tm);
    char name[sizeof trace.currentname];
    DailyFileName(trace.basename, tm, name);
    if (strcasecmp(name, trace.currentname) == 0) {
        return;
    }
    if (trace.stream != nullptr) {
        std::fclose(trace.stream);
    }
    trace.stream = TextOpen(name, "a");
    std::memcpy(trace.currentname, name, sizeof name);
}

}  // namespace

void LogEvent(uint32_t mask, const char *format, ...) {
    if ((mask & trace.enabled.load(std::memory_order_relaxed)) == 0) {
        return;
    }
    ErrnoKeeper keep;
    std::lock_guard<std::mutex> guard(trace.lock);
    LogCheckDay();

    char line[kLineSize];
    int prefix = std::snprintf(line, sizeof line, "%03lX> %s: ", ThreadId(), HighestLabel(mask));
    va_list args;
    va_start(args, format);
    int text = std::vsnprintf(line + prefix, sizeof line - prefix, format, args);
    va_end(args);
    bool overflow = text < 0 || static_cast<size_t>(text) >= sizeof line - prefix;
    DebugOutput(overflow ? kOverflowText : line);

    if (trace.stream != nullptr) {
        WriteFileStamp();
        std::fputs(line, trace.stream);
        std::fflush(trace.stream);
    }
}

void LogDump(uint32_t mask, const void *data, size_t length, size_t width, const char *format,
             ...) {
    if ((mask & trace.enabled.load(std::memory_order_relaxed)) == 0) {
        return;
    }
    ErrnoKeeper keep;
    std::lock_guard<std::mutex> guard(trace.lock);
    LogCheckDay();

    char heading[kDumpSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(heading, sizeof heading, format, args);
    va_end(args);
    char line[kDumpSize];
    std::snprintf(line, sizeof line, "%03lX> %s: %s\n", ThreadId(), LowestLabel(mask), heading);
    DebugOutput(line);
    if (trace.stream != nullptr) {
        WriteFileStamp();
        std::fputs(line, trace.stream);
        std::fflush(trace.stream);
    }

    if (width > kMaxDumpWidth) {
        width = kMaxDumpWidth;
    }
    const auto *bytes = static_cast<const unsigned char *>(data);
    size_t rows = width == 0 ? 0 : (length + width - 1) / width;
    for (size_t r = 0; r < rows; ++r) {
        char row[kDumpRowSize];
        size_t at = r * width;
        FormatDumpRow(row, at, bytes + at, length - at < width ? length - at : width, width);
        DebugOutput(row);
        if (trace.stream != nullptr) {
            std::fputs(row, trace.stream);
        }
    }
    DebugOutput("\r\n");
    if (trace.stream != nullptr) {
        std::fputs("\n", trace.stream);
        std::fflush(trace.stream);
    }
}

void LogResetForTest() {
    std::lock_guard<std::mutex> guard(trace.lock);
    trace.enabled = 0;
    trace.basename[0] = '\0';
    trace.currentname[0] = '\0';
    if (trace.stream != nullptr) {
        std::fclose(trace.stream);
        trace.stream = nullptr;
    }
}

uint32_t LogEnabledMask() {
    return trace.enabled.load();
}
const char *LogBaseName() {
    return trace.basename;
}
const char *LogCurrentFileName() {
    return trace.currentname;
}

void LogSetMaskForTest(uint32_t mask) {
    std::lock_guard<std::mutex> guard(trace.lock);
    trace.enabled = mask;
}
