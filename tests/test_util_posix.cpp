#include "test_util.h"

#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <string>

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

namespace {

// The registry file: a key line before each value, as the file allows.
testutil::TempDir *folder = nullptr;
std::string text;

std::string Quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        out += c == '\\' || c == '"' ? std::string("\\") + c : std::string(1, c);
    }
    return out + "\"";
}

}  // namespace

PrivateRegistry::PrivateRegistry() {
    folder = new testutil::TempDir();
    SetEnv("TARNWICK_REGISTRY", (*folder / "registry.reg").c_str());
}

PrivateRegistry::~PrivateRegistry() {
    UnsetEnv("TARNWICK_REGISTRY");
    delete folder;
    folder = nullptr;
    text.clear();
}

void PrivateRegistry::WriteSetting(const char *key, const char *name, const std::string &data) {
    text += "[HKEY_LOCAL_MACHINE\\" + std::string(key) + "]\n" + Quoted(name) + "=" + Quoted(data) +
            "\n";
    testutil::WriteFile(*folder / "registry.reg",
                        "Windows Registry Editor Version 5.00\n\n" + text);
}

void PrivateRegistry::Clear() {
    text.clear();
    std::remove((*folder / "registry.reg").c_str());
}

}  // namespace testsupport
