#include "test_util.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

#include "diag/debug_testing.h"
#include "platform/clock_testing.h"
#include "platform/debugger_testing.h"
#include "platform/process.h"

namespace testutil {

namespace {
std::atomic<int64_t> clock_millis{0};
int64_t ManualNow() {
    return clock_millis.load();
}

std::mutex lines_mutex;
std::vector<std::string> caught;
void Catch(const char *text) {
    std::lock_guard<std::mutex> guard(lines_mutex);
    caught.emplace_back(text);
}

std::optional<std::string> zone_before;  // the TZ before the UtcZone
}  // namespace

// A new "tarnwick-test-<process id>-<n>" in the temporary directory, or "".
TempDir::TempDir() {
    static std::atomic<int> made{0};
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("tarnwick-test-" + std::to_string(ProcessId()) + "-" + std::to_string(made++));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);  // left by an earlier process of the same id
    path_ = std::filesystem::create_directory(dir, ec) ? dir.string() : std::string();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string &path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

ManualClock::ManualClock(int64_t millis) {
    clock_millis = millis;
    static const ClockOps kManualNowOps = {ManualNow};
    ClockSetForTest(&kManualNowOps);
}
ManualClock::~ManualClock() {
    ClockSetForTest(nullptr);
}
void ManualClock::Set(int64_t millis) {
    clock_millis = millis;
}

int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
    const std::chrono::sys_days date = std::chrono::year(year) / month / day;
    return int64_t{date.time_since_epoch().count()} * 86400 + hour * 3600 + minute * 60 + second;
}

TraceCatcher::TraceCatcher(uint32_t mask) {
    Clear();
    DebugOutputSetSink(Catch);
    LogSetMaskForTest(mask);
}

TraceCatcher::~TraceCatcher() {
    LogResetForTest();
    DebugOutputSetSink(nullptr);
}

std::vector<std::string> TraceCatcher::Lines() const {
    std::lock_guard<std::mutex> guard(lines_mutex);
    return caught;
}

std::vector<std::string> TraceCatcher::Texts(const std::string &label) const {
    std::vector<std::string> texts;
    for (const std::string &line : Lines()) {
        size_t at = line.find("> ");
        bool bare = at == std::string::npos || line.size() < at + 12;
        if (label.empty() || (!bare && line.compare(at + 2, 8, label) == 0)) {
            texts.push_back(bare ? line : line.substr(at + 12));
        }
    }
    return texts;
}

bool TraceCatcher::Has(const std::string &text) const {
    std::vector<std::string> texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void TraceCatcher::Clear() {
    std::lock_guard<std::mutex> guard(lines_mutex);
    caught.clear();
}

UtcZone::UtcZone() {
    const char *tz = std::getenv("TZ");
    zone_before = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
    testsupport::SetEnv("TZ", "UTC");
    testsupport::TzSet();
}

UtcZone::~UtcZone() {
    if (zone_before) {
        testsupport::SetEnv("TZ", zone_before->c_str());
    } else {
        testsupport::UnsetEnv("TZ");
    }
    testsupport::TzSet();
}

bool BindLoopback(SockHandle s, SockAddrIn *addr) {
    *addr = {};
    addr->family = kAfInet;
    addr->addr = 0x0100007Fu;  // 127.0.0.1 in network byte order
    uint16_t base = static_cast<uint16_t>(40000 + ProcessId() % 20000);
    for (int i = 0; i < 500; ++i) {
        uint16_t port = static_cast<uint16_t>(base + i);
        addr->port = static_cast<uint16_t>((port >> 8) | (port << 8));
        if (SockBind(s, addr) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace testutil
