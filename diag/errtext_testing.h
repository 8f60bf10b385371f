// Test hook of errtext.h: replaces the system's message texts, so that the
// SYSTEM_ERROR lines can be pinned whatever texts the platform has.
#pragma once

#include <cstddef>

// Same contract as SystemErrorText (platform/syserr.h).
using SystemTextSource = size_t (*)(unsigned long code, char *buffer, size_t size);

// TraceSysError takes the texts of codes below 0x20000000 from source;
// nullptr restores the platform's.
void ErrTextSetSystemSourceForTest(SystemTextSource source);
