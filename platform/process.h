// Process and thread services: ids, sleeping, the working directory, the
// local host name, and the end of the process.
//
// Thread-safe.
#pragma once

#include <cstddef>

// The process id, as GetCurrentProcessId gives it.
unsigned long ProcessId();

// The calling thread's id: the kernel's thread id on POSIX, GetCurrentThreadId
// on Windows.
unsigned long ThreadId();

// Sleeps for ms milliseconds.
void SleepMs(unsigned ms);

// Makes path (mapped with MapPath) the working directory.  Returns 0, or -1
// with errno set.
int ChangeDirectory(const char *path);

// The local host name into buf (size bytes).  Returns 0, or -1 (buf is then
// left as it was).  A name longer than size - 1 is cut and terminated.
int LocalHostName(char *buf, size_t size);

// Ends the process with status after flushing every output stream.  No
// destructor or exit handler runs, so it is safe while other threads still
// work.  Never returns.
[[noreturn]] void ProcessExit(int status);
