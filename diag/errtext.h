// System error text: socket and system error codes traced with a readable
// text and the source location of the statement that saw the failure.
//
// Thread-safe: the text buffer is the caller's; output goes through the trace
// lock.
#pragma once

#include <cstddef>

// The last component of path, after its last '/' or '\': traces name a
// source file without the directories it was built from.
constexpr const char *BaseName(const char *path) {
    const char *base = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

// Copies the string-table text for code into buffer (at most size - 1
// characters and a terminator).  Code 0 is looked up as 10000; codes below
// 10000 as signed numbers (and so every code from 0x80000000) have no text;
// any other code finds the entry of its low 16 bits.  Returns the number of
// characters copied, 0 when there is no text (buffer untouched).
int LoadErrorText(unsigned long code, char *buffer, size_t size);

// Traces one Error line for code: "SOCKET_ERROR(%0ld): %s(%s : L'%d)\n" when
// the string table has a text, otherwise "SYSTEM_ERROR(%ld): %s (%s : L'%d)\n"
// with the system's text (the program's message table for codes from
// 0x20000000), or the preset "Unknown Error(%d)\n" /
// "Unknown LocalSystem Error(%d)\n".  The code is printed as a signed 32-bit
// number; file is shown by its base name (the directories of a build stay out
// of the trace).
void TraceSysError(unsigned long code, const char *file, int line);
