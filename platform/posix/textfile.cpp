#include "platform/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/common/textfile_torn.h"
#include "platform/path.h"

namespace {

constexpr size_t kPathMax = 4096;

int OpenMapped(const char *path, int flags, mode_t mode) {
    char mapped[kPathMax];
    if (MapPath(path, mapped, sizeof mapped) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(mapped, flags | O_CLOEXEC, mode);
}

// Writes all of buf; returns 0, or -1 with errno set (0 for a short write
// without an error).  Adds the bytes written to *done, also on failure.
int WriteAll(int fd, const char *buf, size_t len, size_t *done) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            errno = 0;
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
        *done += static_cast<size_t>(n);
    }
    return 0;
}

// Writes len caller bytes in text mode through a bounded buffer; *done as for
// WriteAll.
int WriteText(int fd, const char *data, size_t len, size_t *done) {
    char buf[2048];
    while (len > 0) {
        size_t chunk = len < sizeof buf / 2 ? len : sizeof buf / 2;
        if (WriteAll(fd, buf, TextDiskForm(buf, data, chunk), done) != 0) {
            return -1;
        }
        data += chunk;
        len -= chunk;
    }
    return 0;
}

// A text stream is a stdio stream over a descriptor whose writes turn "\n"
// into "\r\n" and whose reads turn "\r\n" into "\n".
struct TextCookie {
    int fd;
    bool pending_cr;  // a CR read last, not yet known to precede an LF
    TextCookie *prev;
    TextCookie *next;
};

// Every open stream's cookie, linked from here: the C library keeps the
// cookie pointer in a mangled form, and a leak checker must still see that a
// stream open for the life of the process (the trace file) owns it.
std::mutex cookies_mutex;
TextCookie *cookies = nullptr;

void Link(TextCookie *c) {
    std::lock_guard<std::mutex> guard(cookies_mutex);
    c->prev = nullptr;
    c->next = cookies;
    if (cookies != nullptr) {
        cookies->prev = c;
    }
    cookies = c;
}

void Unlink(TextCookie *c) {
    std::lock_guard<std::mutex> guard(cookies_mutex);
    (c->prev != nullptr ? c->prev->next : cookies) = c->next;
    if (c->next != nullptr) {
        c->next->prev = c->prev;
    }
}

ssize_t CookieWrite(void *cookie, const char *buf, size_t size) {
    auto *c = static_cast<TextCookie *>(cookie);
    size_t done = 0;
    return WriteText(c->fd, buf, size, &done) == 0 ? static_cast<ssize_t>(size) : -1;
}

// Cuts the last done bytes written through fd off the file again, unless
// someone wrote behind them meanwhile.  Returns false when part of a line
// stays at the end of a file; a device keeps nothing to cut.
bool CutBack(int fd, size_t done) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        return true;
    }
    // Appending leaves the offset at the end of what this descriptor wrote.
    off_t end = lseek(fd, 0, SEEK_CUR);
    return end == st.st_size && ftruncate(fd, end - static_cast<off_t>(done)) == 0;
}

ssize_t CookieRead(void *cookie, char *buf, size_t size) {
    auto *c = static_cast<TextCookie *>(cookie);
    if (size == 0) {
        return 0;
    }
    for (;;) {
        size_t out = 0;
        ssize_t n = read(c->fd, buf, size - (c->pending_cr ? 1 : 0));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            if (c->pending_cr) {
                c->pending_cr = false;
                buf[0] = '\r';
                return 1;
            }
            return 0;
        }
        // Make room for a CR held from the previous read.
        size_t len = static_cast<size_t>(n);
        if (c->pending_cr) {
            std::memmove(buf + 1, buf, len);
            buf[0] = '\r';
            ++len;
            c->pending_cr = false;
        }
        for (size_t i = 0; i < len; ++i) {
            if (buf[i] == '\r') {
                if (i + 1 == len) {
                    c->pending_cr = true;
                    break;
                }
                if (buf[i + 1] == '\n') {
                    continue;
                }
            }
            buf[out++] = buf[i];
        }
        if (out > 0) {
            return static_cast<ssize_t>(out);
        }
    }
}

int CookieClose(void *cookie) {
    auto *c = static_cast<TextCookie *>(cookie);
    int rc = close(c->fd);
    Unlink(c);
    std::free(c);
    return rc;
}

}  // namespace

FILE *TextOpen(const char *path, const char *mode) {
    int flags;
    switch (mode[0]) {
        case 'r':
            flags = O_RDONLY;
            break;
        case 'w':
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    int fd = OpenMapped(path, flags, 0644);
    if (fd < 0) {
        return nullptr;
    }
    auto *cookie = static_cast<TextCookie *>(std::malloc(sizeof(TextCookie)));
    if (cookie == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    cookie->fd = fd;
    cookie->pending_cr = false;
    Link(cookie);
    cookie_io_functions_t io = {CookieRead, CookieWrite, nullptr, CookieClose};
    FILE *f = fopencookie(cookie, mode, io);
    if (f == nullptr) {
        int saved = errno;
        CookieClose(cookie);
        errno = saved;
    }
    return f;
}

int TextOpenAppend(const char *path, bool create) {
    return OpenMapped(path, O_WRONLY | O_APPEND | (create ? O_CREAT : 0), 0644);
}

long TextWritePieces(int fd, const TextPiece *pieces, int count) {
    // A line that follows a fragment left behind begins on a line of its own.
    bool torn = TextTakeTorn(fd);
    // A log line fits the buffer and reaches the file in one write, so that an
    // appending writer never interleaves half lines.
    char buf[4096];
    size_t total = 0;
    size_t used = torn ? TextDiskForm(buf, "\n", 1) : 0;
    bool fits = true;
    for (int i = 0; i < count; ++i) {
        total += pieces[i].len;
        if (fits && used + 2 * pieces[i].len <= sizeof buf) {
            used += TextDiskForm(buf + used, pieces[i].data, pieces[i].len);
        } else {
            fits = false;
        }
    }
    size_t done = 0;
    int rc = 0;
    if (fits) {
        rc = WriteAll(fd, buf, used, &done);
    } else {
        rc = torn ? WriteText(fd, "\n", 1, &done) : 0;
        for (int i = 0; i < count && rc == 0; ++i) {
            rc = WriteText(fd, pieces[i].data, pieces[i].len, &done);
        }
    }
    if (rc != 0) {
        // No part of the line stays behind for the next line to join.
        int err = errno;  // before the cut, which may change it
        return TextWriteFailed(fd, err, done == 0 || CutBack(fd, done), torn);
    }
    return static_cast<long>(total);
}

int SystemFileId(int fd, TextFileId *id) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return -1;
    }
    id->volume = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return 0;
}

int SystemPathId(const char *path, TextFileId *id) {
    char mapped[kPathMax];
    struct stat st;
    if (MapPath(path, mapped, sizeof mapped) != 0 || stat(mapped, &st) != 0) {
        return -1;
    }
    id->volume = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return 0;
}

int TextOpenLog(const char *path) {
    return OpenMapped(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
}

int TextAppendDisk(int fd, const TextPiece *pieces, int count) {
    // A write that follows a fragment left behind begins on a line of its own.
    bool torn = TextTakeTorn(fd);
    struct iovec iov[64];
    size_t done = 0;
    int next = 0;     // the first piece not yet (wholly) written
    size_t skip = 0;  // bytes of pieces[next] already written
    size_t prefix = torn ? 2 : 0;
    int rc = 0;
    while (rc == 0 && (prefix > 0 || next < count)) {
        int n = 0;
        if (prefix > 0) {
            static const char kLineEnd[] = "\r\n";
            iov[n++] = {const_cast<char *>(kLineEnd + (2 - prefix)), prefix};
        }
        for (int i = next; i < count && n < static_cast<int>(sizeof iov / sizeof iov[0]); ++i) {
            size_t off = i == next ? skip : 0;
            iov[n++] = {const_cast<char *>(pieces[i].data + off), pieces[i].len - off};
        }
        ssize_t w = writev(fd, iov, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            if (w == 0) {
                errno = 0;
            }
            rc = -1;
            break;
        }
        size_t left = static_cast<size_t>(w);
        done += left;
        size_t p = left < prefix ? left : prefix;
        prefix -= p;
        left -= p;
        while (left > 0 && next < count) {
            size_t rest = pieces[next].len - skip;
            if (left < rest) {
                skip += left;
                left = 0;
            } else {
                left -= rest;
                skip = 0;
                ++next;
            }
        }
        while (next < count && pieces[next].len == skip) {
            skip = 0;
            ++next;
        }
    }
    if (rc != 0) {
        // No part of a line stays behind for the next write to join.
        int err = errno;  // before the cut, which may change it
        return TextWriteFailed(fd, err, done == 0 || CutBack(fd, done), torn);
    }
    return 0;
}

int TextClose(int fd) {
    return close(fd);
}
