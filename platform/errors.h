// Error numbers: the thread's last system error (GetLastError) and the
// runtime library's error texts (the errno table).
//
// Thread-safe; the last error is per thread.
#pragma once

// The calling thread's last system error code.  Socket calls (sockets.h) set
// it to Winsock numbers on every platform (10048 for an address in use), so
// trace lines read the same everywhere.
unsigned long LastError();
void SetLastError(unsigned long code);

// The runtime library's text for errno value err, or nullptr when err lies
// beyond the library's table (negative values included).
const char *RuntimeErrorText(int err);
