#include "platform/syserr.h"

#include "platform/common/copy_whole.h"
#include "platform/common/scm_system.h"
#include "platform/scm.h"

#include <windows.h>

#include <cstring>

namespace {

// Longest text looked up; longer ones count as not fitting.
constexpr DWORD kTextMax = 4096;

// The trace's texts are in the user's default language.
constexpr DWORD kUserDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// FormatMessageA, the program's one wrapper of it, into a buffer of our own,
// copied only when it fits whole, so that the caller's buffer is untouched
// when there is nothing to give.
size_t Format(DWORD flags, HMODULE module, unsigned long id, DWORD language, char *buffer,
              size_t size) {
    DWORD saved = GetLastError();
    char text[kTextMax];
    DWORD length = FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                                  static_cast<DWORD>(id), language, text, sizeof text, nullptr);
    SetLastError(saved);
    return length == 0 ? 0 : CopyWhole(text, length, buffer, size);
}

}  // namespace

size_t SystemErrorText(unsigned long code, char *buffer, size_t size) {
    return Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, kUserDefault, buffer, size);
}

// scm.h's text of the service host: language 0, the system's own choice.
size_t SystemScmErrorText(unsigned long code, char *buffer, size_t size) {
    return Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, size);
}

size_t ModuleMessageText(unsigned long id, char *buffer, size_t size) {
    return Format(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA(nullptr), id, kUserDefault, buffer,
                  size);
}

size_t ModuleStringText(unsigned id, char *buffer, size_t size) {
    if (size < 2 || id > 0xFFFF) {
        return 0;
    }
    DWORD saved = GetLastError();
    char text[kTextMax];
    int length = LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
    SetLastError(saved);
    if (length <= 0) {
        return 0;
    }
    // As LoadStringA into the caller's buffer: cut to size - 1.
    size_t copied = static_cast<size_t>(length) < size - 1 ? static_cast<size_t>(length) : size - 1;
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    return copied;
}
