// Winsock's start, once per process, for every file of the Win32 layer that
// calls it (sockets, name service).
//
// Thread-safe.
#pragma once

// Calls WSAStartup (version 2.0) on the first call.  Returns 0, or the
// nonzero error code of that first call (the same on every later call).
int WinsockStart();
