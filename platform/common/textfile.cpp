// What both text-file layers share: the disk form of text and the question
// whether a name still leads to an open file.
#include <cstring>

#include "platform/common/textfile_torn.h"
#include "platform/textfile.h"

size_t TextDiskForm(char *dst, const char *src, size_t len) {
    size_t out = 0;
    while (len > 0) {
        const void *lf = std::memchr(src, '\n', len);
        size_t run = lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - src) : len;
        std::memcpy(dst + out, src, run);
        out += run;
        if (lf == nullptr) {
            break;
        }
        dst[out++] = '\r';
        dst[out++] = '\n';
        src += run + 1;
        len -= run + 1;
    }
    return out;
}

int TextNamesFile(const char *path, int fd) {
    TextFileId open_id;
    TextFileId named_id;
    if (SystemFileId(fd, &open_id) != 0 || SystemPathId(path, &named_id) != 0) {
        return 0;
    }
    return open_id.volume == named_id.volume && open_id.index == named_id.index ? 1 : 0;
}
