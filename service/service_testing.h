// Test hooks of the service host: a fake service manager in place of
// platform/scm.h, fakes of the engine entries it calls, and a reset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/console.h"
#include "platform/scm.h"

// The service-manager calls, with the contracts of platform/scm.h, and the
// one-second wait of a removal.
struct ScmBackend {
    int (*startDispatcher)(const ScmTableEntry *table);
    ServiceStatusHandle (*registerHandler)(const char *name, ScmControlHandler handler);
    int (*setStatus)(ServiceStatusHandle handle, const ServiceStatusRecord *status);
    ScmHandle (*openManager)(uint32_t access);
    ScmHandle (*createService)(ScmHandle manager, const char *name, const char *display_name,
                               uint32_t access, uint32_t service_type, uint32_t start_type,
                               uint32_t error_control, const char *binary_path,
                               const char *load_order_group, uint32_t *tag_id,
                               const char *dependencies, const char *account, const char *password);
    ScmHandle (*openService)(ScmHandle manager, const char *name, uint32_t access);
    int (*controlService)(ScmHandle service, uint32_t control, ServiceStatusRecord *status);
    int (*queryStatus)(ScmHandle service, ServiceStatusRecord *status);
    int (*deleteService)(ScmHandle service);
    int (*closeHandle)(ScmHandle handle);
    uint32_t (*moduleFileName)(char *buffer, uint32_t size);
    size_t (*errorText)(unsigned long code, char *buffer, size_t size);
    void (*sleepMs)(unsigned ms);
};

// What the service host calls outside itself besides the manager and the
// event log.
struct ServiceHooks {
    void (*serviceInit)();
    void (*rundaemon)();
    void (*stopdaemon)();
    int (*init)();
    const char *(*logDirFailure)();
    int (*consoleAddHandler)(ConsoleHandler handler);
};

// Every call goes to the given table (which must outlive its use); nullptr
// restores the real ones.
void ServiceSetScmForTest(const ScmBackend *backend);
void ServiceSetHooksForTest(const ServiceHooks *hooks);

// The state at program start: status record zero, status handle invalid,
// console mode off.
void ServiceResetForTest();
