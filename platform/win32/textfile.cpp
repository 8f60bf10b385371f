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

// Appends the lead (a line end after a fragment, or nothing) and the pieces
// at the end of the file.  errno is cleared for each call, so that a short
// write without an error reports 0, and restored when everything was
// written.  Returns 0, or -1 with the file cut back (or marked torn).
int AppendWhole(int fd, bool torn, const char *lead, size_t leadlen, const TextPiece *pieces,
                int count) {
    int saved = errno;
    __int64 start = _lseeki64(fd, 0, SEEK_END);
    bool ok = leadlen == 0 || WriteWhole(fd, lead, leadlen);
    for (int i = 0; i < count && ok; ++i) {
        ok = pieces[i].len == 0 || WriteWhole(fd, pieces[i].data, pieces[i].len);
    }
    if (!ok) {
        // No part of a line stays behind for the next write to join.
        int err = errno;  // before the cut, which may change it
        return TextWriteFailed(fd, err, CutBack(fd, start), torn);
    }
    errno = saved;
    return 0;
}

// The runtime's error number for a Windows error of CreateFile.
int ErrnoOfWindowsError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_DISK_FULL:
            return ENOSPC;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        default:
            return EIO;
    }
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
    int rc = fits ? AppendWhole(fd, torn, buf, used, nullptr, 0)
                  : AppendWhole(fd, torn, "\n", torn ? 1 : 0, pieces, count);
    return rc < 0 ? rc : static_cast<long>(total);
}

int SystemFileId(int fd, TextFileId *id) {
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
        return -1;
    }
    // A file deleted while open keeps its name until its last handle closes:
    // it is no longer the file of that name.
    FILE_STANDARD_INFO standard;
    if (GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard) &&
        standard.DeletePending) {
        return -1;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int SystemPathId(const char *path, TextFileId *id) {
    char mapped[MAX_PATH];
    if (!Mapped(path, mapped, sizeof mapped)) {
        return -1;
    }
    // No access asked: the identity alone, whoever holds the file open.
    HANDLE h = CreateFileA(mapped, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) {
        return -1;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int TextOpenLog(const char *path) {
    char mapped[MAX_PATH];
    if (!Mapped(path, mapped, sizeof mapped)) {
        return -1;
    }
    // Shared for delete, so that a user may move or delete the file while it
    // is open; the runtime's own open would forbid that.
    HANDLE h =
        CreateFileA(mapped, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOfWindowsError(GetLastError());
        return -1;
    }
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    // Bytes as they are: the caller's text is already in its disk form.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

int TextAppendDisk(int fd, const TextPiece *pieces, int count) {
    // A write that follows a fragment left behind begins on a line of its own.
    bool torn = TextTakeTorn(fd);
    return AppendWhole(fd, torn, "\r\n", torn ? 2 : 0, pieces, count);
}

int TextClose(int fd) {
    return _close(fd);
}
