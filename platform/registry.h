// The registry: string settings under HKEY_LOCAL_MACHINE.
//
// Windows: RegOpenKeyExA / RegQueryValueExA / RegCloseKey.  POSIX: a text file
// in the registry editor's export format, read from /etc/tarnwick/registry.reg
// or from the file named by TARNWICK_REGISTRY.  The file is read anew by every
// RegistryOpenKey and every RegistryQueryValue: a key handle names its key,
// and a query sees the file as it is at that moment, as with the live
// registry.  Its rules:
//   - first line exactly "Windows Registry Editor Version 5.00" or
//     "REGEDIT4"; UTF-16LE with a byte-order mark or 8-bit text; LF or CR LF;
//     blank lines and lines that begin with ';' are skipped; blanks around a
//     line do not count; a line holds at most 4095 characters;
//   - key lines "[HKEY_LOCAL_MACHINE\SOFTWARE\Halvane\TARNWICK]" ("[-...]"
//     deletes the key and those below it); a key exists when a key line names
//     it or a key below it;
//   - value lines "Name"="data" with \\ and \" escapes (no other escape);
//     "@"="data" is the default value, read with the name "" or nullptr; the
//     last definition of a value wins; "Name"=- deletes it;
//   - key and value names match without regard to case (ASCII letters);
//   - only string values are settings: a dword: or hex: (hex(n):) value reads
//     as missing; hex lists may go on over lines that end with '\';
//   - UTF-16 text is turned into 8-bit text character by character (U+0000 to
//     U+00FF); a character above U+00FF, or a NUL, anywhere but in a comment
//     makes the file malformed;
//   - anything else (a wrong first line, an unterminated string, a value line
//     before any key line, any other line that does not parse) makes the file
//     malformed: it is treated as missing, never half-read, and each read of
//     it traces one Warning line
//       "Registry file <file> line <n>: <what is wrong> - file ignored\n".
//     A file that exists but cannot be read traces
//       "Registry file <file> cannot be read: <error text> - file ignored\n".
//
// Results are Windows error codes (errors.h), as LONG values.  Thread-safe:
// the open keys are kept in a small table under a lock; every read parses the
// file on the caller's stack.
#pragma once

#include <cstdint>

#include "platform/errors.h"

using RegKey = uintptr_t;
constexpr RegKey kRegLocalMachine = 0x80000002u;

// Opens subkey of root (only kRegLocalMachine) for reading.  Returns
// kErrorSuccess and the key, or kErrorFileNotFound (and *key = 0) when the
// key or the whole file is missing or malformed, or when all 16 key handles
// are open.
long RegistryOpenKey(RegKey root, const char *subkey, RegKey *key);

// Reads the value name of key into data; *size holds the buffer size on entry
// and the data's size (terminator included) on return.  Returns
// kErrorSuccess; kErrorFileNotFound for a missing value (or one that is not a
// string, or a key that is not open or has gone); kErrorMoreData when the
// data with its terminator is larger than *size (data is then untouched and
// *size holds the size needed).
// With data nullptr only the size is returned.  String data are always
// terminated and hold no NUL.
long RegistryQueryValue(RegKey key, const char *name, char *data, uint32_t *size);

// Releases a key from RegistryOpenKey.  Any other value is ignored.
void RegistryCloseKey(RegKey key);
