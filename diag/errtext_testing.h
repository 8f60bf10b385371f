// Test hook of errtext.h: replaces the system's message texts, so that the
// SYSTEM_ERROR lines can be pinned whatever texts the platform has.
#pragma once

#include <cstddef>

// Replacement calls.  A null member keeps the platform's own.
struct ErrTextOps {
    // Same contract as SystemErrorText (platform/syserr.h); TraceSysError
    // takes the texts of codes below 0x20000000 from it.
    size_t (*systemText)(unsigned long code, char *buffer, size_t size);
};

// Routes TraceSysError's look-ups through ops (which must outlive its use);
// nullptr restores the platform's own.
void ErrTextSetForTest(const ErrTextOps *ops);
