#include "service/settings.h"

#include <cstring>

#include "engine/tarnwick.h"

const char kSettingsKey[] = "SOFTWARE\\Halvane\\TARNWICK";
Settings settings = {"c:\\syslog", "c:\\syslog\\syslog.conf", "c:\\syslog\\syslog.pid"};

// Placeholder until the registry-backed settings land.
void ServiceInit() {
    engine.stoprequested = 0;
}
bool ReadRegValue(RegKey, const char *, const char *, char *, size_t) {
    return false;
}
void SettingsResetForTest() {
    settings = Settings{"c:\\syslog", "c:\\syslog\\syslog.conf", "c:\\syslog\\syslog.pid"};
}
