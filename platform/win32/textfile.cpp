// Text-mode files through the runtime library: its text mode writes every
// line feed as CR LF and reads CR LF as a line feed.
#include "platform/textfile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/path.h"

namespace {

bool Mapped(const char *path, char *out, size_t size) {
    if (MapPath(path, out, size) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
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
    // A log line is gathered and handed to the runtime in one call, which
    // adds the CRs and writes it whole.
    char buf[4096];
    size_t total = 0;
    size_t used = 0;
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
    if (fits) {
        errno = 0;
        int n = _write(fd, buf, static_cast<unsigned>(used));
        if (n < 0 || static_cast<size_t>(n) != used) {
            return -1;
        }
        errno = saved;
        return static_cast<long>(total);
    }
    for (int i = 0; i < count; ++i) {
        if (pieces[i].len == 0) {
            continue;
        }
        errno = 0;
        int n = _write(fd, pieces[i].data, static_cast<unsigned>(pieces[i].len));
        if (n < 0 || static_cast<size_t>(n) != pieces[i].len) {
            return -1;
        }
    }
    errno = saved;
    return static_cast<long>(total);
}

int TextClose(int fd) {
    return _close(fd);
}
