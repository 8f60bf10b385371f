// The service control manager on Windows (its service run: tools/e2e-wine.sh):
// a process it did not start, a scratch service created, refused and deleted.
#include "platform/scm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

// The dispatcher fails; a module name that does not fit is cut, the error set.
TEST(ScmWin32, WithoutTheManagerNothingRuns) {
    const ScmTableEntry table[] = {{"Tarnwick", [](uint32_t, char **) {}}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, 8), 8u);
    EXPECT_EQ(std::strlen(path), 7u);
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
}

// A stopped service takes no stop; a deleted one cannot be opened.
TEST(ScmWin32, AServiceIsCreatedRefusedAndDeleted) {
    const std::string name = "TarnwickTest" + std::to_string(ProcessId());
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    ScmHandle svc =
        ScmCreateService(manager, name.c_str(), name.c_str(), kServiceAllAccess,
                         kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                         "c:\\nowhere\\t.exe", nullptr, nullptr, "", nullptr, nullptr);
    ASSERT_NE(svc, 0u) << PlatformLastError();
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(svc, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
    EXPECT_NE(ScmDeleteService(svc) + ScmCloseHandle(svc), 0);
    EXPECT_EQ(ScmOpenService(manager, name.c_str(), kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    ScmCloseHandle(manager);
}

}  // namespace
