#include "platform/syserr.h"

#include <climits>
#include <cstring>

#include "platform/common/copy_whole.h"
#include "platform/errors.h"
#include "platform/posix/resource_tables.h"

namespace {

const ResourceText *Find(const ResourceText *table, size_t count, unsigned long id) {
    size_t lo = 0;
    size_t hi = count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (table[mid].id == id) {
            return &table[mid];
        }
        if (table[mid].id < id) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return nullptr;
}

}  // namespace

size_t SystemErrorText(unsigned long code, char *buffer, size_t size) {
    if (code > INT_MAX) {
        return 0;
    }
    const char *text = RuntimeErrorText(static_cast<int>(code));
    if (text == nullptr) {
        return 0;
    }
    // System texts end with a line end, as FormatMessageA gives them.
    size_t length = std::strlen(text);
    if (length + 3 > size) {
        return 0;
    }
    std::memcpy(buffer, text, length);
    std::memcpy(buffer + length, "\r\n", 3);
    return length + 2;
}

size_t ModuleMessageText(unsigned long id, char *buffer, size_t size) {
    const ResourceText *entry = Find(kMessageTable, kMessageTableSize, id);
    return entry == nullptr ? 0 : CopyWhole(entry->text, entry->length, buffer, size);
}

size_t ModuleStringText(unsigned id, char *buffer, size_t size) {
    const ResourceText *entry = Find(kStringTable, kStringTableSize, id);
    if (entry == nullptr || entry->length == 0 || size < 2) {
        return 0;
    }
    size_t length = entry->length < size - 1 ? entry->length : size - 1;
    std::memcpy(buffer, entry->text, length);
    buffer[length] = '\0';
    return length;
}
