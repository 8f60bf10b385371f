// Message texts: the system's texts for its error codes, and the program's own
// resources, the message table and the string table.
//
// Windows: FormatMessageA (FORMAT_MESSAGE_FROM_SYSTEM or FROM_HMODULE with the
// program's own module, IGNORE_INSERTS, language neutral / default
// sub-language) and LoadStringA on the program's own module.  POSIX: the
// system's texts are the C library's error descriptions; the resources are
// tables generated at build time from the same sources that windmc and windres
// compile (resources/).
//
// Every call leaves the buffer untouched when it has no text to give.  The
// service host's texts of Windows codes are scm.h's ScmErrorText: on Windows
// the same FormatMessageA call, on POSIX a table of the codes it prints.
// Thread-safe: no state.
#pragma once

#include <cstddef>

// The system's message text for code, as FormatMessageA gives it: the text
// with its line end (CR LF) at the end.  POSIX: codes that are errno values
// give the C library's description followed by CR LF; others have no text.
// Copies the text and a terminator into buffer and returns the text's length
// when it fits in size bytes; returns 0 when there is no text or it does not
// fit (the call never cuts a text).
size_t SystemErrorText(unsigned long code, char *buffer, size_t size);

// The program's message-table text for the 32-bit message ID, exactly as the
// table holds it (CR LF line ends included).  Results as for
// SystemErrorText.
size_t ModuleMessageText(unsigned long id, char *buffer, size_t size);

// The program's string-table text for the 16-bit string id, as LoadStringA
// gives it: at most size - 1 characters, cut if longer, and a terminator.
// Returns the number of characters copied; 0 when the table has no such
// entry or size is below 2.
size_t ModuleStringText(unsigned id, char *buffer, size_t size);
