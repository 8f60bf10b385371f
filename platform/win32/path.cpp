#include "platform/path.h"

#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// Windows opens paths as they are written: a copy, when it fits.
int MapPath(const char *path, char *out, size_t size) {
    if (size == 0) {
        return -1;
    }
    size_t len = std::strlen(path);
    if (len + 1 > size) {
        out[0] = '\0';
        return -1;
    }
    std::memcpy(out, path, len + 1);
    return 0;
}

// The runtime's own checks: a folder, and not read-only.  (Whether the
// account may write there is the folder's access list, which only a write
// would tell.)
int PathFolderWritable(const char *path) {
    char folder[_MAX_PATH];
    if (MapPath(path, folder, sizeof folder) != 0) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char *cut = std::strrchr(folder, '\\');
    if (char *slash = std::strrchr(folder, '/');
        slash != nullptr && (cut == nullptr || slash > cut)) {
        cut = slash;
    }
    if (cut == nullptr) {
        // "c:name" is in the drive's current folder, "name" in ours.
        std::strcpy(folder + (folder[0] != '\0' && folder[1] == ':' ? 2 : 0), ".");
    } else {
        // A root ("\", "c:\") keeps its separator.
        cut[cut == folder || cut[-1] == ':' ? 1 : 0] = '\0';
    }
    struct _stat st;
    if (_stat(folder, &st) != 0) {
        return -1;
    }
    if ((st.st_mode & _S_IFDIR) == 0) {
        errno = ENOTDIR;
        return -1;
    }
    return _access(folder, 2);
}

int FullPath(const char *path, char *out, size_t size) {
    if (_fullpath(out, path, size) == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}
