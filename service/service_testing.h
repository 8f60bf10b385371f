// Test hooks of the service host: fakes of what it calls outside itself
// besides the service manager (platform/scm_testing.h) and the event log,
// and a reset.
#pragma once

#include "platform/console.h"

// Replacement calls.  A null member keeps the real one: the engine's entries,
// the console's handler list, and the one-second wait of a removal.
struct ServiceOps {
    void (*serviceInit)();
    void (*rundaemon)();
    void (*stopdaemon)();
    int (*init)();
    const char *(*logDirFailure)();
    int (*consoleAddHandler)(ConsoleHandler handler);
    void (*sleepMs)(unsigned ms);
};

// Routes every such call through ops (which must outlive its use); nullptr
// restores the real ones.
void ServiceSetForTest(const ServiceOps *ops);

// The state at program start: status record zero, status handle invalid,
// console mode off.
void ServiceResetForTest();
