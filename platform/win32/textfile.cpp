// Text-mode files through the runtime library: its text mode writes every
// line feed as CR LF and reads CR LF as a line feed.
#include "platform/textfile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/common/textfile_torn.h"
#include "platform/path.h"

namespace {

bool Mapped(const char *path, char *out, size_t size) {
    if (MapPath(path, out, size) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Cuts what a failed write left behind start (the end of the file before
// it) off the file again, unless someone wrote behind it meanwhile.  Returns
// false when part of a line stays at the end of a file; a device has no end
// to cut back to.
bool CutBack(int fd, __int64 start) {
    if (start < 0) {
        return true;
    }
    __int64 end = _telli64(fd);
    if (end <= start) {
        return true;
    }
    return end == _filelengthi64(fd) && _chsize_s(fd, start) == 0;
}

// One _write of len bytes; false with errno set (0 for a short write without
// an error).
bool WriteWhole(int fd, const char *data, size_t len) {
    errno = 0;
    int n = _write(fd, data, static_cast<unsigned>(len));
    return n >= 0 && static_cast<size_t>(n) == len;
}

}  // namespace

FILE *TextOpen(const char *path, const char *mode) {
    char mapped[MAX_PATH];
    if (!Mapped(path, mapped, sizeof mapped)) {
        return nullptr;
    }
    if (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a') {
        errno = EINVAL;
        return nullptr;
    }
    // Text mode whatever the process default.
    char textmode[8];
    size_t len = std::strlen(mode);
    if (len > sizeof textmode - 2) {
        errno = EINVAL;
        return nullptr;
    }
    std::memcpy(textmode, mode, len);
    textmode[len] = 't';
    textmode[len + 1] = '\0';
    return std::fopen(mapped, textmode);
}

int TextOpenAppend(const char *path, bool create) {
    char mapped[MAX_PATH];
    if (!Mapped(path, mapped, sizeof mapped)) {
        return -1;
    }
    int flags = _O_WRONLY | _O_APPEND | _O_TEXT | _O_NOINHERIT | (create ? _O_CREAT : 0);
    return _open(mapped, flags, _S_IREAD | _S_IWRITE);
}

long TextWritePieces(int fd, const TextPiece *pieces, int count) {
    // A line that follows a fragment left behind begins on a line of its own.
    bool torn = TextTakeTorn(fd);
    // A log line is gathered and handed to the runtime in one call, which
    // adds the CRs and writes it whole.
    char buf[4096];
    size_t total = 0;
    size_t used = torn ? 1 : 0;
    buf[0] = '\n';
    bool fits = true;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].len;
        if (fits && used + pieces[i].len <= sizeof buf) {
            std::memcpy(buf + used, pieces[i].data, pieces[i].len);
            used += pieces[i].len;
        } else {
            fits = false;
        }
    }
    // errno is cleared for each call, so that a short write without an error
    // reports 0, and restored when everything was written.
    int saved = errno;
    __int64 start = _lseeki64(fd, 0, SEEK_END);
    bool ok = true;
    if (fits) {
        ok = WriteWhole(fd, buf, used);
    } else {
        ok = !torn || WriteWhole(fd, "\n", 1);
        for (int i = 0; i < count && ok; ++i) {
            ok = pieces[i].len == 0 || WriteWhole(fd, pieces[i].data, pieces[i].len);
        }
    }
    if (!ok) {
        // No part of the line stays behind for the next line to join.
        int err = errno;
        bool left = !CutBack(fd, start);
        if (left || torn) {
            TextMarkTorn(fd);
        }
        errno = err;
        return -1;
    }
    errno = saved;
    return static_cast<long>(total);
}

int SystemFileId(int fd, TextFileId *id) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        return -1;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int TextClose(int fd) {
    return _close(fd);
}
