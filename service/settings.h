// Start-up settings: the socket layer, the timer pool, and the three paths
// read from the registry key SOFTWARE\Halvane\TARNWICK.
//
// Each path is a 256-byte text (255 characters and the terminator).  A value
// that cannot be read (missing key or value, not a string, 256 characters or
// more, a malformed registry file) takes its fall-back value and the Warning
// trace "reg_key(SOFTWARE\Halvane\TARNWICK\<value>) - not found\n".  The
// settings are written only by ServiceInit, before the engine runs, and read
// without a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

constexpr size_t SETTING_SIZE = 256;
extern const char kSettingsKey[];  // "SOFTWARE\Halvane\TARNWICK"

struct Settings {
    char logdir[SETTING_SIZE];    // "Log Dir": initial and fall-back "c:\syslog"
    char conffile[SETTING_SIZE];  // "Config File": "c:\syslog\syslog.conf", fall-back "syslog.conf"
    char pidfile[SETTING_SIZE];   // "PID File": "c:\syslog\syslog.pid", fall-back "syslog.pid"
};
extern Settings settings;

// Starts the socket layer, reports SERVICE_START_PENDING, initialises the
// timer pool and reads the three paths.  When the socket layer does not start
// it returns at once, leaving the rest undone.  stoprequested is left as it
// is: a stop requested during the start-up stands (ServiceMain and RunConsole
// clear it before their control handler can set it).
void ServiceInit();

// ServiceInit's read of the three paths, each value that cannot be read
// replaced by its fall-back value with the Warning trace.  tarnwick-check
// reads them the same way.
void ReadPathSettings();

// Reads one value of root\subkey into buffer (size bytes), opening and
// closing the key.  Returns true when the value was read and holds a
// terminated string; false otherwise: the buffer is untouched when the key or
// value is missing or too large, and left empty when the data carried no
// terminator.
bool ReadRegValue(RegKey root, const char *subkey, const char *name, char *buffer, size_t size);

// Restores the initial values (for tests).
void SettingsResetForTest();
