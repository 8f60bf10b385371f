// The service control manager on Windows (its service run: tools/e2e-wine.sh):
// a process it did not start, a scratch service created, refused and deleted.
#include "platform/scm.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

TEST(ScmWin32, WithoutTheManagerNothingRunsAndACutNameIsTold) {
    const ScmTableEntry table[] = {{"Tarnwick", [](uint32_t, char **) {}}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, 8), 8u);
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
    ServiceStatusRecord status = {};
    EXPECT_EQ(ScmControlService(svc, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
    EXPECT_TRUE(ScmDeleteService(svc) != 0 && ScmCloseHandle(svc) != 0);
    EXPECT_EQ(ScmOpenService(manager, name.c_str(), kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    ScmCloseHandle(manager);
}

}  // namespace
