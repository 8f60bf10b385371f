// The registry: string settings under HKEY_LOCAL_MACHINE.
//
// Windows: RegOpenKeyExA / RegQueryValueExA / RegCloseKey.  POSIX: a text file
// in the registry editor's export format, read from /etc/tarnwick/registry.reg
// or from the file named by TARNWICK_REGISTRY.  The file is read anew by every
// RegistryOpenKey.  Its rules:
//   - first line exactly "Windows Registry Editor Version 5.00" or
//     "REGEDIT4"; UTF-16LE with a byte-order mark or 8-bit text; LF or CR LF;
//     blank lines and lines that begin with ';' are skipped;
//   - key lines "[HKEY_LOCAL_MACHINE\SOFTWARE\Halvane\TARNWICK]"; value lines
//     "Name"="data" with \\ and \" escapes; key and value names match without
//     regard to case;
//   - only string values are settings: a dword: or hex: value reads as
//     missing;
//   - anything else (a wrong first line, an unterminated string, a value line
//     before any key line) makes the file malformed: it is treated as missing,
//     never half-read, and a Warning trace names the file, the line number and
//     what is wrong.
//
// Results are Windows error codes.  Thread-safe.
#pragma once

#include <cstdint>

using RegKey = uintptr_t;
constexpr RegKey kRegLocalMachine = 0x80000002u;

constexpr long kRegSuccess = 0;     // ERROR_SUCCESS
constexpr long kRegNotFound = 2;    // ERROR_FILE_NOT_FOUND
constexpr long kRegMoreData = 234;  // ERROR_MORE_DATA

// Opens subkey of root for reading.  Returns kRegSuccess and the key, or
// kRegNotFound when the key (or the whole file) is missing or malformed.
long RegistryOpenKey(RegKey root, const char *subkey, RegKey *key);

// Reads the value name of key into data; *size holds the buffer size on entry
// and the data's size (terminator included) on return.  Returns kRegSuccess;
// kRegNotFound for a missing value (or one that is not a string); kRegMoreData
// when the data with its terminator is larger than *size (data is then
// untouched).
long RegistryQueryValue(RegKey key, const char *name, char *data, uint32_t *size);

// Releases a key from RegistryOpenKey.
void RegistryCloseKey(RegKey key);
