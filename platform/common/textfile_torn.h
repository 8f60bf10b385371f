// Files left with part of a line at their end, shared by the text-file layers
// of both platforms (posix/textfile.cpp, win32/textfile.cpp).
//
// A write that stores only part of a line cuts the file back to where the
// line began.  Where that cannot be done (an append-only file, or someone
// wrote behind it meanwhile), the file is marked here, and the next write to
// it, through any descriptor, begins with a line end, so that no line joins
// the fragment.  Files are known by their identity (device and inode, volume
// and file index), the same for every descriptor of one file.
//
// Thread-safe.  Costs one atomic load per write while no file is marked.
#pragma once

#include <cerrno>
#include <cstdint>

// The identity of the file open as fd.  Returns 0, or -1 (not a file whose
// identity the system gives).  One per platform.
struct TextFileId {
    uint64_t volume;
    uint64_t index;
};
int SystemFileId(int fd, TextFileId *id);
// The identity of the file path names (mapped with MapPath).  Returns 0, or
// -1 when it names none.  One per platform.
int SystemPathId(const char *path, TextFileId *id);

// Marks the file open as fd as ending in part of a line.
void TextMarkTorn(int fd);
// True, once, when the file open as fd was marked: the mark is taken, and the
// caller begins its write with a line end (and marks the file again should
// that write fail).
bool TextTakeTorn(int fd);
// Ends a write to fd that failed with errno err: cut is whether the file
// was cut back to where the write began, began_torn whether the write began
// after a fragment.  A file left with part of a line, or with the fragment
// the write was to end, is marked again.  Sets errno to err; returns -1.
inline int TextWriteFailed(int fd, int err, bool cut, bool began_torn) {
    if (!cut || began_torn) {
        TextMarkTorn(fd);
    }
    errno = err;
    return -1;
}
