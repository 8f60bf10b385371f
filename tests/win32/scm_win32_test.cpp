// The service control manager on Windows: the answers of the real manager to
// a process it did not start, and a scratch service created, refused and
// deleted.  (The service run itself is in tools/e2e-wine.sh.)
#include "platform/scm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

TEST(ScmWin32, WithoutTheManagerNothingRunsAndNothingIsReported) {
    ServiceStatusRecord status = {kServiceWin32OwnProcess, kServiceRunning, 1, 0, 0, 0, 0};
    for (ServiceStatusHandle h : {ServiceStatusHandle{0}, kInvalidStatusHandle}) {
        EXPECT_EQ(ScmSetStatus(h, &status), 0);
        EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    }
    EXPECT_EQ(ScmRegisterHandler("Tarnwick", [](uint32_t) {}), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    const ScmTableEntry table[] = {{"Tarnwick", [](uint32_t, char **) {}}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table + 1), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    // The module name and the texts: cut with the error set, or not given.
    char path[512];
    uint32_t length = ScmModuleFileName(path, sizeof path);
    ASSERT_GT(length, 14u);
    EXPECT_EQ(std::string(path + length - 14), "unit_tests.exe");
    EXPECT_EQ(ScmModuleFileName(path, 8), 8u);
    EXPECT_EQ(std::strlen(path), 7u);
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
    length = ScmErrorText(kErrorServiceExists, path, sizeof path);
    ASSERT_GT(length, 2u);
    EXPECT_EQ(std::string(path + length - 2), "\r\n");
    EXPECT_EQ(ScmErrorText(kErrorServiceExists, path, length), 0u);
}

TEST(ScmWin32, AServiceIsCreatedQueriedRefusedAndDeleted) {
    const std::string name = "TarnwickTest" + std::to_string(ProcessId());
    auto create = [&](ScmHandle manager) {
        return ScmCreateService(manager, name.c_str(), name.c_str(), kServiceAllAccess,
                                kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                                "c:\\nowhere\\tarnwick.exe", nullptr, nullptr, "", nullptr,
                                nullptr);
    };
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    ASSERT_NE(manager, 0u) << PlatformLastError();
    ScmHandle svc = create(manager);
    ASSERT_NE(svc, 0u) << PlatformLastError();
    EXPECT_EQ(create(manager), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceExists);
    ServiceStatusRecord status = {};
    ASSERT_NE(ScmQueryStatus(svc, &status), 0);
    EXPECT_EQ(status.currentState, kServiceStopped);
    EXPECT_EQ(ScmControlService(svc, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);
    EXPECT_NE(ScmDeleteService(svc), 0);
    EXPECT_NE(ScmCloseHandle(svc), 0);
    EXPECT_EQ(ScmOpenService(manager, name.c_str(), kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    EXPECT_NE(ScmCloseHandle(manager), 0);
    EXPECT_EQ(ScmCloseHandle(0), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
}

}  // namespace
