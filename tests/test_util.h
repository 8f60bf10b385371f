// The unit tests' toolkit: scratch directories, files, a manual clock, a
// catcher of trace lines, the local time zone, a private registry, and the
// process services whose calls differ between platforms.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/mmtimer.h"
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

// A trace line split at its "%03X> " prefix: the 8-character label ("Warning
// ") and the text behind it.  A line without the prefix is all text.
struct TraceLine {
    std::string label;
    std::string text;
};

// Catches every trace line while it exists, with the given categories
// enabled; at the end the log is as before LogInit (LogResetForTest).
class TraceCatcher {
  public:
    explicit TraceCatcher(uint32_t mask);
    ~TraceCatcher();
    std::vector<std::string> Lines() const;
    std::vector<TraceLine> Split() const;
    // The texts of the lines, or of those with the given label.
    std::vector<std::string> Texts() const;
    std::vector<std::string> Texts(const std::string &label) const;
    bool Has(const std::string &text) const;
    // Split(), and the lines forgotten.
    std::vector<TraceLine> Take();
    void Clear();
};

// While one exists, the runtime's local time is UTC (TZ=UTC); the TZ before
// comes back at its end.
class UtcZone {
  public:
    UtcZone();
    ~UtcZone();

  private:
    bool had_ = false;
    std::string old_;
};

// Binds s to a free high port of 127.0.0.1, probed from one that depends on
// the process id; fills addr.  Returns true when bound.
bool BindLoopback(SockHandle s, SockAddrIn *addr);

}  // namespace testutil

// The per-platform part: the few process services the tests need whose calls
// differ between platforms, defined in test_util_posix.cpp or
// test_util_win32.cpp.  Not thread-safe: call from the test's own thread,
// before the threads that read the environment or the local time start.
namespace testsupport {

// Sets (replacing) or removes an environment variable of the process.
void SetEnv(const char *name, const char *value);
void UnsetEnv(const char *name);

// Makes the runtime library read TZ again for its local time (tzset).
void TzSet();

// Seconds since the epoch of a broken-down UTC time (timegm).
int64_t TimeGm(struct tm *tm);

// Waits until thread tid of this process sleeps in a blocking call, at most
// timeout_ms.  Returns true when it does.  POSIX: the thread's state in
// /proc.  Windows gives no such view of a thread: after a pause of 100 ms it
// answers true (the tests that ask give the same result either way).
bool WaitUntilThreadSleeps(unsigned long tid, int timeout_ms);

// The range the platform's own timer service reports when no test range is
// set: the POSIX stand-in's documented 1 to 1,000,000 ms, or what winmm's
// timeGetDevCaps gives on Windows.
TimerCaps PlatformTimerCaps();

// A private registry for the test's lifetime, empty at its start: a registry
// file in a scratch folder named by TARNWICK_REGISTRY on POSIX; on Windows,
// HKEY_LOCAL_MACHINE mapped for this process onto a scratch key under
// HKEY_CURRENT_USER, so that no test touches the machine's settings and none
// needs an administrator.  One at a time.
class PrivateRegistry {
  public:
    PrivateRegistry();
    ~PrivateRegistry();
    // Makes key (below HKEY_LOCAL_MACHINE), and the keys above it.
    void MakeKey(const char *key);
    // Sets value name of key (made when missing) to a string or a dword.
    void WriteSetting(const char *key, const char *name, const std::string &text);
    void WriteNumber(const char *key, const char *name, uint32_t value);
    // Empties it.
    void Clear();
};

// The handles the process holds: Windows' count, so that a test sees one left
// open.  POSIX: 0 (a registry key left open shows there as a later open that
// fails: the stand-in has 16).
unsigned long OpenHandles();

}  // namespace testsupport
