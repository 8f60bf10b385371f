// The files marked as ending in part of a line (textfile_torn.h).
#include "platform/common/textfile_torn.h"

#include <atomic>
#include <mutex>

namespace {

// More files than this torn at once (and not cut back) is not worth a
// larger table: a mark that finds no room is dropped.
constexpr int kMaxTorn = 16;

std::mutex torn_lock;
std::atomic<int> torn_count{0};
TextFileId torn[kMaxTorn];

// The slot of id, or -1; torn_lock held.
int Find(const TextFileId &id) {
    for (int i = 0; i < torn_count.load(); ++i) {
        if (torn[i].volume == id.volume && torn[i].index == id.index) {
            return i;
        }
    }
    return -1;
}

}  // namespace

void TextMarkTorn(int fd) {
    TextFileId id;
    if (SystemFileId(fd, &id) != 0) {
        return;
    }
    std::lock_guard<std::mutex> guard(torn_lock);
    int n = torn_count.load();
    if (Find(id) < 0 && n < kMaxTorn) {
        torn[n] = id;
        torn_count.store(n + 1);
    }
}

bool TextTakeTorn(int fd) {
    TextFileId id;
    if (torn_count.load(std::memory_order_relaxed) == 0 || SystemFileId(fd, &id) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(torn_lock);
    int at = Find(id);
    if (at < 0) {
        return false;
    }
    int n = torn_count.load() - 1;
    torn[at] = torn[n];
    torn_count.store(n);
    return true;
}
