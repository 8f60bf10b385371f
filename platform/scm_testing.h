// Test hook of scm.h: a fake service manager in place of the platform's own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/scm.h"

// Replacement calls, with the contracts of scm.h.  A null member keeps the
// platform's own call.
struct ScmOps {
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
};

// Routes every scm.h call through ops (which must outlive its use); nullptr
// restores the platform's own.
void ScmSetForTest(const ScmOps *ops);
