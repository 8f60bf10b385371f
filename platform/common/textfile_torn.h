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
