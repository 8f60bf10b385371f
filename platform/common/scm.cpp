// scm.h on both platforms: the replacement calls of a test (ScmSetForTest) in
// front of the platform's own (platform/common/scm_system.h).
#include "platform/scm.h"

#include <atomic>

#include "platform/common/scm_system.h"
#include "platform/scm_testing.h"

namespace {

std::atomic<const ScmOps *> ops{nullptr};

// The test's replacement of a call when it has one, else the platform's own.
template <typename Call>
Call Pick(Call ScmOps::*member, Call system) {
    const ScmOps *o = ops.load();
    return o != nullptr && o->*member != nullptr ? o->*member : system;
}

}  // namespace

void ScmSetForTest(const ScmOps *replacement) {
    ops.store(replacement);
}

int ScmStartDispatcher(const ScmTableEntry *table) {
    return Pick(&ScmOps::startDispatcher, SystemScmStartDispatcher)(table);
}

ServiceStatusHandle ScmRegisterHandler(const char *name, ScmControlHandler handler) {
    return Pick(&ScmOps::registerHandler, SystemScmRegisterHandler)(name, handler);
}

int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status) {
    return Pick(&ScmOps::setStatus, SystemScmSetStatus)(handle, status);
}

ScmHandle ScmOpenManager(uint32_t access) {
    return Pick(&ScmOps::openManager, SystemScmOpenManager)(access);
}

ScmHandle ScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                           uint32_t access, uint32_t service_type, uint32_t start_type,
                           uint32_t error_control, const char *binary_path,
                           const char *load_order_group, uint32_t *tag_id, const char *dependencies,
                           const char *account, const char *password) {
    return Pick(&ScmOps::createService, SystemScmCreateService)(
        manager, name, display_name, access, service_type, start_type, error_control, binary_path,
        load_order_group, tag_id, dependencies, account, password);
}

ScmHandle ScmOpenService(ScmHandle manager, const char *name, uint32_t access) {
    return Pick(&ScmOps::openService, SystemScmOpenService)(manager, name, access);
}

int ScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status) {
    return Pick(&ScmOps::controlService, SystemScmControlService)(service, control, status);
}

int ScmQueryStatus(ScmHandle service, ServiceStatusRecord *status) {
    return Pick(&ScmOps::queryStatus, SystemScmQueryStatus)(service, status);
}

int ScmDeleteService(ScmHandle service) {
    return Pick(&ScmOps::deleteService, SystemScmDeleteService)(service);
}

int ScmCloseHandle(ScmHandle handle) {
    return Pick(&ScmOps::closeHandle, SystemScmCloseHandle)(handle);
}

uint32_t ScmModuleFileName(char *buffer, uint32_t size) {
    return Pick(&ScmOps::moduleFileName, SystemScmModuleFileName)(buffer, size);
}

size_t ScmErrorText(unsigned long code, char *buffer, size_t size) {
    return Pick(&ScmOps::errorText, SystemScmErrorText)(code, buffer, size);
}
