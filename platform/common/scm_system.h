// The platform's own service manager behind scm.h, one per platform (posix/:
// the service database; win32/: the Windows calls); platform/common/scm.cpp
// calls it for every call a test has not replaced with ScmSetForTest.
//
// Results, last error and threads exactly as the matching scm.h call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/scm.h"

int SystemScmStartDispatcher(const ScmTableEntry *table);
ServiceStatusHandle SystemScmRegisterHandler(const char *name, ScmControlHandler handler);
int SystemScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status);
ScmHandle SystemScmOpenManager(uint32_t access);
ScmHandle SystemScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                                 uint32_t access, uint32_t service_type, uint32_t start_type,
                                 uint32_t error_control, const char *binary_path,
                                 const char *load_order_group, uint32_t *tag_id,
                                 const char *dependencies, const char *account,
                                 const char *password);
ScmHandle SystemScmOpenService(ScmHandle manager, const char *name, uint32_t access);
int SystemScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status);
int SystemScmQueryStatus(ScmHandle service, ServiceStatusRecord *status);
int SystemScmDeleteService(ScmHandle service);
int SystemScmCloseHandle(ScmHandle handle);
uint32_t SystemScmModuleFileName(char *buffer, uint32_t size);
size_t SystemScmErrorText(unsigned long code, char *buffer, size_t size);
