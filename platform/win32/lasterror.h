// The thread's last error as kernel32 keeps it, for errors.cpp.
//
// errors.h declares a SetLastError of its own, which cannot share a
// translation unit with the Windows headers' one; this pair is the bridge.
// Thread-safe: the last error is per thread.
#pragma once

unsigned long Win32LastError();
void Win32SetLastError(unsigned long code);
