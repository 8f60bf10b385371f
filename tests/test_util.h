// Helpers shared by the unit tests: scratch directories, files, a manual
// clock and a catcher of trace lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace testutil {

// Makes a new directory, named prefix and a random part, in the system's
// temporary directory.  Returns its path, or "" when none could be made.
std::string MakeTempDir(const std::string &prefix);

// A scratch directory made by MakeTempDir, removed with everything in it at
// the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);

// A manual clock: while one exists, the platform clock reads its value.
class ManualClock {
  public:
    explicit ManualClock(int64_t millis);
    ~ManualClock();
    void Set(int64_t millis);
    void AdvanceSeconds(int64_t seconds);
};

// Seconds since the epoch of a UTC date and time (the tests run with TZ=UTC).
int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second);

// Catches every trace line while it exists, with the given categories
// enabled.
class TraceCatcher {
  public:
    explicit TraceCatcher(uint32_t mask);
    ~TraceCatcher();
    std::vector<std::string> Lines() const;
    // The lines with their "%03X> label: " prefix removed.
    std::vector<std::string> Texts() const;
    bool Has(const std::string &text) const;
    void Clear();
};

// Sets TZ=UTC for the process.
void UseUtc();

// Binds s to a free high port of 127.0.0.1, probed from one that depends on
// the process id; fills addr.  Returns true when bound.
bool BindLoopback(SockHandle s, SockAddrIn *addr);

}  // namespace testutil
