// What every fuzz target shares: a scratch folder that takes everything a
// target writes, a fixed clock and a resolver of our own (no name service is
// asked, nothing is sent), quiet output, and a check that aborts, so that
// libFuzzer records the input.
//
// A rule file or a profile names the files the engine opens.  Inputs cannot
// name the scratch folder (its name is random), so Confine puts it in front
// of every path separator of an input; a target runs only what Confined (or
// InScratch) accepts, so that no input makes a file outside the folder.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/clock_testing.h"
#include "platform/debugger_testing.h"
#include "platform/resolver_testing.h"

namespace fuzz {

// 2024-03-07 10:00:00 UTC: where every run's clock starts.
constexpr int64_t kStartMs = 1709805600LL * 1000;
inline int64_t now_ms = kStartMs;
inline int64_t Clock() {
    return now_ms;
}

inline void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// Reverse look-up by the address's low three bits: unknown, an empty name,
// a name in the local domain ("fuzz.test"), one elsewhere, a name longer than
// the buffer, a name that begins with its dot, a bare name.
inline int FakeReverse(uint32_t addr, char *name, size_t size) {
    const char *forms[] = {"h%08x.fuzz.test", "h%08x.other.test", ".fuzz.test", "h%08x"};
    switch (addr & 7) {
        case 0:
            return -1;
        case 1:
            name[0] = '\0';
            return 0;
        case 2:
            std::snprintf(name, size, "%0200x", addr);
            return 0;
        default:
            std::snprintf(name, size, forms[(addr & 7) % 4], addr);
            return 0;
    }
}
// Forward look-up: hosts that begin with "l" are 127.0.0.1; the others are
// unknown, with a reason as long as the host's name (none for an even
// length), so that reports of every length are made.
inline int FakeForward(const char *host, uint32_t *addr, char *why, size_t size) {
    if (host[0] == 'l') {
        *addr = htonl(0x7f000001);
        return 0;
    }
    size_t len = std::strlen(host);
    std::snprintf(why, size, "%s", len % 2 == 0 ? "" : host);
    return -1;
}

inline void Drop(const char *) {}

// The scratch folder, made on first use and removed at exit (its name lives
// on until then: it is never destroyed).  In memory (/dev/shm) where there is
// such a file system: the targets write a file or more in every run.
inline const std::string &Scratch() {
    static const std::string *dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0
                               ? "/dev/shm"
                               : std::filesystem::temp_directory_path().string();
        auto *name = new std::string(base + "/tarnwick-fuzz-XXXXXX");
        Check(mkdtemp(name->data()) != nullptr, "mkdtemp");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(Scratch(), ec);
        });
        return name;
    }();
    return *dir;
}

// Removes every file the last run left in the scratch folder.
inline void ClearScratch() {
    for (const auto &entry : std::filesystem::directory_iterator(Scratch())) {
        unlink(entry.path().c_str());
    }
}

// Writes bytes into the scratch file name; returns its path.
inline std::string WriteScratch(const char *name, const void *data, size_t size) {
    std::string path = Scratch() + "/" + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr && std::fwrite(data, 1, size, f) == size, "write scratch file");
    std::fclose(f);
    return path;
}

// Once per process: UTC, the fixed clock and resolver, the rule parser's
// listing to /dev/null, the trace categories of mask caught and dropped.
inline void Setup(uint32_t mask) {
    setenv("TZ", "UTC", 1);
    tzset();
    static const ClockOps kClockOps = {Clock};
    ClockSetForTest(&kClockOps);
    static const ResolverOps fake = {FakeReverse, FakeForward};
    ResolverSetForTest(&fake);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    DebugOutputSetSink(Drop);
    LogSetMaskForTest(mask);
}

// The engine as the loop sees it once the socket is bound (the socket itself
// is none, so a forward fails at once and sends nothing).
inline void ResetEngine() {
    EngineResetForTest();
    engine.portbound = 1;
    engine.syslogport = htons(514);
    std::snprintf(engine.myhostname, sizeof engine.myhostname, "loghost");
    std::snprintf(engine.mydomain, sizeof engine.mydomain, "fuzz.test");
}

// The input with the scratch folder in front of every '/' and '\'.
inline std::string Confine(const uint8_t *data, size_t size) {
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '/' || data[i] == '\\') {
            out += Scratch();
        }
        out += static_cast<char>(data[i]);
    }
    return out;
}

// A rule file from Confine whose paths stay in the scratch folder: no "..",
// and no line longer than the reader's 511 characters holds a separator (a
// path cut there could name a file above the folder).
inline bool Confined(const std::string &text) {
    if (text.find("..") != std::string::npos) {
        return false;
    }
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        if (end - at > 511 && text.find_first_of("/\\", at) < end) {
            return false;
        }
        at = end + 1;
    }
    return true;
}

// path names a file directly in the scratch folder.
inline bool InScratch(const char *path) {
    size_t n = Scratch().size();
    return std::strncmp(path, Scratch().c_str(), n) == 0 && (path[n] == '/' || path[n] == '\\') &&
           std::strpbrk(path + n + 1, "/\\") == nullptr;
}

}  // namespace fuzz
