#pragma once
// Copies length bytes of text and a terminator into buffer when they fit
// whole; otherwise leaves buffer untouched.  Returns the length copied, 0 when
// it did not fit.  The system-text look-ups of both platforms end in it.

#include <cstddef>
#include <cstring>

inline size_t CopyWhole(const char *text, size_t length, char *buffer, size_t size) {
    if (length + 1 > size) {
        return 0;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return length;
}
