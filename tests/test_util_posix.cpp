#include "test_util.h"

#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

void SetEnv(const char *name, const char *value) {
    setenv(name, value, 1);
}

void UnsetEnv(const char *name) {
    unsetenv(name);
}

void TzSet() {
    tzset();
}

int64_t TimeGm(struct tm *tm) {
    return static_cast<int64_t>(timegm(tm));
}

namespace {

// The state letter of a thread of this process ('S' while it sleeps).
char ThreadState(unsigned long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

}  // namespace

bool WaitUntilThreadSleeps(unsigned long tid, int timeout_ms) {
    for (int i = 0; i < timeout_ms && ThreadState(tid) != 'S'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ThreadState(tid) == 'S';
}

TimerCaps PlatformTimerCaps() {
    return TimerCaps{1, 1000000};
}

namespace {

// The private registry: its folder, and its keys in the order made, each with
// its value lines; the file is written anew on every change.
struct Registry {
    testutil::TempDir *dir = nullptr;
    std::vector<std::pair<std::string, std::string>> keys;
};
Registry registry;

std::string Quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

void AddLine(const char *key, const std::string &line) {
    bool found = false;
    for (auto &[name, lines] : registry.keys) {
        if (name == key) {
            lines += line;
            found = true;
        }
    }
    if (!found) {
        registry.keys.emplace_back(key, line);
    }
    std::string file = "Windows Registry Editor Version 5.00\n\n";
    for (const auto &[name, lines] : registry.keys) {
        file += "[HKEY_LOCAL_MACHINE\\" + name + "]\n" + lines;
    }
    testutil::WriteFile(*registry.dir / "registry.reg", file);
}

}  // namespace

PrivateRegistry::PrivateRegistry() {
    registry.dir = new testutil::TempDir();
    SetEnv("TARNWICK_REGISTRY", (*registry.dir / "registry.reg").c_str());
}

PrivateRegistry::~PrivateRegistry() {
    UnsetEnv("TARNWICK_REGISTRY");
    delete registry.dir;
    registry = Registry();
}

void PrivateRegistry::MakeKey(const char *key) {
    AddLine(key, "");
}

void PrivateRegistry::WriteSetting(const char *key, const char *name, const std::string &text) {
    AddLine(key, Quoted(name) + "=" + Quoted(text) + "\n");
}

void PrivateRegistry::WriteNumber(const char *key, const char *name, uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "dword:%08x\n", value);
    AddLine(key, Quoted(name) + "=" + data);
}

void PrivateRegistry::Clear() {
    registry.keys.clear();
    std::remove((*registry.dir / "registry.reg").c_str());
}

unsigned long OpenHandles() {
    return 0;
}

}  // namespace testsupport
