// The program's resources as the POSIX build carries them: the message table
// (resources/tarnwick.mc) and the string table (resources/strings.rc), turned
// into these tables at build time by resources/resgen.cpp.  Read only through
// platform/syserr.h; nothing else includes this header.
//
// Each table is sorted by id, ids unique.  Texts are exactly the resource's
// bytes (message texts with their CR LF line ends); length excludes the
// terminating zero.  Constant data: thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

struct ResourceText {
    uint32_t id;
    const char *text;
    size_t length;
};

// Message table: full 32-bit message IDs.
extern const ResourceText kMessageTable[];
extern const size_t kMessageTableSize;

// String table: 16-bit string ids.
extern const ResourceText kStringTable[];
extern const size_t kStringTableSize;
