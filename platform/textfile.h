// Text-mode files: buffered streams and low-level descriptors.
//
// The program opens its log files, its PID file, its trace file and its rule
// file in text mode.  Every line feed written reaches the disk as carriage
// return and line feed, on Windows through the runtime's text mode and on
// POSIX through this layer, so files are byte-identical on both platforms.
// Reading a text stream turns CR LF back into a single line feed.
//
// Every path is mapped with MapPath (path.h) before the call.  Failures set
// errno (the runtime library's error number) and are returned, never thrown.
//
// Thread-safety: a stream or descriptor is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdio>

// Opens a buffered text stream; mode is that of fopen ("r", "w", "a").  The
// stream is closed with fclose and written with the stdio functions; fflush
// (nullptr) flushes it with every other stream.  Returns nullptr and sets
// errno on failure.
FILE *TextOpen(const char *path, const char *mode);

// Opens path for low-level writing in text mode: write-only, appending (every
// write goes to the end).  With create set, a missing file is created with the
// permission bits 0644; without it a missing file is an error (a device).
// Returns the descriptor, or -1 with errno set.
int TextOpenAppend(const char *path, bool create);

// One piece of a gathered write.
struct TextPiece {
    const char *data;
    size_t len;
};

// Writes the pieces in order to a descriptor from TextOpenAppend, each line
// feed as CR LF, in as few system calls as the pieces' size allows (one for a
// line of a log file).  Returns the number of caller bytes written (the sum of
// the pieces' lengths, line feeds counted once) when everything was written;
// -1 with errno set when a write failed or was short (errno is 0 for a short
// write that reported no error).  A partly written line is not retried, and
// no part of it stays behind: the file is cut back to where the line began,
// or, where that cannot be done (an append-only file, another writer behind
// it), the next write to that file begins with a line end.
long TextWritePieces(int fd, const TextPiece *pieces, int count);

// Closes a descriptor from TextOpenAppend or TextOpenLog.  Returns 0, or -1
// with errno set.
int TextClose(int fd);

// --- log files kept open ---
//
// A daily log file stays open between writes, so others must be able to move
// it away or delete it meanwhile (on Windows the file is shared for delete),
// and the writer asks whether its name still leads to it.  Its descriptor
// takes bytes as they are: callers hand it disk text (TextDiskForm).

// Opens path for appending, creating a missing file with the permission bits
// 0644.  Returns the descriptor, or -1 with errno set.
int TextOpenLog(const char *path);

// 1 when path names the file open as fd; 0 when it names no file or another
// one (moved away, deleted, replaced), or the identity cannot be read.
int TextNamesFile(const char *path, int fd);

// The bytes a text-mode write of src puts on the disk (every "\n" as
// "\r\n") into dst, which has room for 2 * len.  Returns their count.
size_t TextDiskForm(char *dst, const char *src, size_t len);

// Appends the pieces (disk text, whole lines) in order to a descriptor from
// TextOpenLog, with one gathered system call where the system allows.  Returns
// 0 when every byte was written; -1 with errno set (0 for a short write that
// reported no error) otherwise, and then, as for TextWritePieces, the file is
// cut back to where the write began, or the next write begins with a line end.
int TextAppendDisk(int fd, const TextPiece *pieces, int count);
