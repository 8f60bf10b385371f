// Shared by the registry file and settings tests: a registry file named by
// TARNWICK_REGISTRY in a scratch directory, and the trace lines caught while
// a test runs.  Not thread-safe but for CatchLine.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "platform/debugger_testing.h"
#include "test_util.h"

namespace regtest {

constexpr char kKey[] = "SOFTWARE\\Halvane\\TARNWICK";
constexpr char kHead[] = "Windows Registry Editor Version 5.00\n\n";
constexpr char kKeyLine[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";

inline std::mutex lines_lock;
inline std::vector<std::string> lines;

inline void CatchLine(const char *text) {
    std::lock_guard<std::mutex> guard(lines_lock);
    lines.emplace_back(text);
}

// A caught trace line "XXX> Label   : text" split into label and text.
inline std::string Label(const std::string &line) {
    size_t at = line.find("> ");
    return at == std::string::npos ? "" : line.substr(at + 2, 8);
}
inline std::string Text(const std::string &line) {
    size_t at = line.find("> ");
    return at == std::string::npos ? line : line.substr(at + 2 + 8 + 2);
}

// UTF-16LE with a byte-order mark; every byte of text becomes one unit.
inline std::string Utf16(const std::string &text) {
    std::string out = "\xFF\xFE";
    for (unsigned char c : text) {
        out += static_cast<char>(c);
        out += '\0';
    }
    return out;
}

class RegistryFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = dir_ / "registry.reg";
        testsupport::SetEnv("TARNWICK_REGISTRY", file_.c_str());
        lines.clear();
        DebugOutputSetSink(CatchLine);
        LogSetMaskForTest(Trace | Warning);
    }
    void TearDown() override {
        LogResetForTest();
        DebugOutputSetSink(nullptr);
        testsupport::UnsetEnv("TARNWICK_REGISTRY");
    }

    void Write(const std::string &bytes) {
        FILE *f = std::fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    // The registry file with the settings key line and body behind it.
    void WriteKey(const std::string &body) { Write(std::string(kHead) + kKeyLine + body); }

    testutil::TempDir dir_;
    std::string file_;
};

}  // namespace regtest
