#include "service/settings.h"

#include <cstdio>
#include <cstring>

#include "diag/debug.h"
#include "platform/sockets.h"
#include "service/service.h"
#include "timer/vtm_driver.h"

const char kSettingsKey[] = "SOFTWARE\\Halvane\\TARNWICK";

namespace {

constexpr Settings kInitialSettings = {
    "c:\\syslog",
    "c:\\syslog\\syslog.conf",
    "c:\\syslog\\syslog.pid",
};

// One path setting: its registry value, its buffer and what it takes when the
// value cannot be read.
struct SettingRow {
    const char *name;
    char *buffer;
    const char *fallback;
};

}  // namespace

Settings settings = kInitialSettings;

void ServiceInit() {
    LogEvent(Trace, "Entering ServiceInit");
    if (SockStartup() != 0) {
        LogEvent(Trace, "WINSOCK can not be initialized");
        return;
    }
    UpdateServiceStatus(kServiceStartPending);
    tm_init();
    ReadPathSettings();
}

void ReadPathSettings() {
    // The fall-backs of the rule file and the PID file are bare names: they
    // are opened after rundaemon has changed into the log directory.
    const SettingRow rows[] = {
        {"Log Dir", settings.logdir, "c:\\syslog"},
        {"Config File", settings.conffile, "syslog.conf"},
        {"PID File", settings.pidfile, "syslog.pid"},
    };
    for (const SettingRow &row : rows) {
        if (!ReadRegValue(kRegLocalMachine, kSettingsKey, row.name, row.buffer, SETTING_SIZE)) {
            std::snprintf(row.buffer, SETTING_SIZE, "%s", row.fallback);
            LogEvent(Warning, "reg_key(%s\\%s) - not found\n", kSettingsKey, row.name);
        }
    }
}

bool ReadRegValue(RegKey root, const char *subkey, const char *name, char *buffer, size_t size) {
    RegKey key;
    if (RegistryOpenKey(root, subkey, &key) != kErrorSuccess) {
        return false;
    }
    uint32_t count = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    long rc = RegistryQueryValue(key, name, buffer, &count);
    RegistryCloseKey(key);
    if (rc != kErrorSuccess) {
        return false;
    }
    // The registry gives terminated strings; anything else (raw bytes filling
    // the buffer to its end) is refused rather than used as a path.
    if (count == 0 || std::memchr(buffer, '\0', count) == nullptr) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return false;
    }
    return true;
}

void SettingsResetForTest() {
    settings = kInitialSettings;
}
