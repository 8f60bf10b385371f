// The tests' toolkit: scratch files, a manual clock, a trace catcher, the
// local time zone, a private registry, and process services per platform.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/sockets.h"

namespace testutil {

// A scratch directory, removed with its contents at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string &path);  // "" when it cannot be read
void WriteFile(const std::string &path, const std::string &data);

// While one exists, the platform clock reads its value.
class ManualClock {
  public:
    explicit ManualClock(int64_t millis);
    ~ManualClock();
    void Set(int64_t millis);
};

// Seconds since the epoch of a UTC date and time.
int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second);

// Catches the trace lines of the categories in mask while it exists.
class TraceCatcher {
  public:
    explicit TraceCatcher(uint32_t mask);
    ~TraceCatcher();
    std::vector<std::string> Lines() const;
    // The texts after the "%03X> " prefix and the label ("Warning "), of all
    // lines or of those with the given label.
    std::vector<std::string> Texts(const std::string &label = "") const;
    bool Has(const std::string &text) const;
    void Clear();
};

// While one exists, the local time is UTC; the TZ before comes back after.
struct UtcZone {
    UtcZone();
    ~UtcZone();
};

// Binds s to a free high port of 127.0.0.1 and fills addr; true when bound.
bool BindLoopback(SockHandle s, SockAddrIn *addr);

}  // namespace testutil

// Process services whose calls differ between platforms (test_util_posix.cpp,
// test_util_win32.cpp).  Call from the test's thread before others start.
namespace testsupport {

void SetEnv(const char *name, const char *value);
void UnsetEnv(const char *name);
void TzSet();  // the runtime reads TZ again

// A private, empty registry while it exists (one at a time): a file named by
// TARNWICK_REGISTRY, or HKEY_LOCAL_MACHINE mapped onto a scratch key.
class PrivateRegistry {
  public:
    PrivateRegistry();
    ~PrivateRegistry();
    // Sets string value name of key (below HKEY_LOCAL_MACHINE, made when missing).
    void WriteSetting(const char *key, const char *name, const std::string &text);
    void Clear();
};

}  // namespace testsupport
