// The service control manager on Windows: the real manager's answers, with a
// scratch service that is created, read, refused and deleted.  (The service
// run itself, started by the manager, is in tools/e2e-wine.sh.)
#include "platform/scm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"

namespace {

void Main(uint32_t, char **) {}
void Handler(uint32_t) {}

TEST(ScmWin32, WithoutTheManagerNothingRunsAndNothingIsReported) {
    ServiceStatusRecord status = {
        kServiceWin32OwnProcess, kServiceRunning, kServiceAcceptStop, 0, 0, 0, 0};
    PlatformSetLastError(0);
    EXPECT_EQ(ScmSetStatus(kInvalidStatusHandle, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
    PlatformSetLastError(0);
    EXPECT_EQ(ScmSetStatus(0, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);

    PlatformSetLastError(0);
    EXPECT_EQ(ScmRegisterHandler("Tarnwick", Handler), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);

    const ScmTableEntry empty[] = {{nullptr, nullptr}};
    PlatformSetLastError(0);
    EXPECT_EQ(ScmStartDispatcher(empty), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidParameter);
    // Started by hand, not by the manager.
    const ScmTableEntry table[] = {{"Tarnwick", Main}, {nullptr, nullptr}};
    PlatformSetLastError(0);
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
}

TEST(ScmWin32, TheModuleFileNameIsThisExecutable) {
    char path[512];
    uint32_t length = ScmModuleFileName(path, sizeof path);
    ASSERT_GT(length, 0u);
    ASSERT_EQ(length, std::strlen(path));
    EXPECT_EQ(std::string(path).substr(length - 14), "unit_tests.exe");
    char small[8];
    PlatformSetLastError(0);
    EXPECT_EQ(ScmModuleFileName(small, sizeof small), sizeof small);
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
}

TEST(ScmWin32, SystemTextsEndInCrLfAndAreNeverCut) {
    char text[512];
    size_t length = ScmErrorText(kErrorServiceExists, text, sizeof text);
    ASSERT_GT(length, 2u);
    EXPECT_EQ(std::string(text + length - 2), "\r\n");
    char small[4] = "abc";
    EXPECT_EQ(ScmErrorText(kErrorServiceExists, small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(ScmErrorText(0xE0001234, text, sizeof text), 0u);
}

TEST(ScmWin32, AServiceIsCreatedQueriedRefusedAndDeleted) {
    const std::string name = "TarnwickTest" + std::to_string(ProcessId());
    ScmHandle manager = ScmOpenManager(kScManagerAllAccess);
    ASSERT_NE(manager, 0u) << PlatformLastError();
    ScmHandle svc =
        ScmCreateService(manager, name.c_str(), name.c_str(), kServiceAllAccess,
                         kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                         "c:\\nowhere\\tarnwick.exe", nullptr, nullptr, "", nullptr, nullptr);
    ASSERT_NE(svc, 0u) << PlatformLastError();

    // A second one of that name is refused; names match without regard to case.
    PlatformSetLastError(0);
    EXPECT_EQ(ScmCreateService(manager, name.c_str(), "Other", kServiceAllAccess,
                               kServiceWin32OwnProcess, kServiceDemandStart, kServiceErrorNormal,
                               "c:\\nowhere\\tarnwick.exe", nullptr, nullptr, "", nullptr, nullptr),
              0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceExists);

    ServiceStatusRecord status = {};
    ASSERT_NE(ScmQueryStatus(svc, &status), 0);
    EXPECT_EQ(status.serviceType, kServiceWin32OwnProcess);
    EXPECT_EQ(status.currentState, kServiceStopped);

    // A control to a service that does not run.
    PlatformSetLastError(0);
    EXPECT_EQ(ScmControlService(svc, kServiceControlStop, &status), 0);
    EXPECT_EQ(PlatformLastError(), kErrorServiceNotActive);

    ScmHandle again = ScmOpenService(manager, name.c_str(), kServiceAllAccess);
    ASSERT_NE(again, 0u);
    EXPECT_NE(ScmDeleteService(again), 0);
    EXPECT_NE(ScmCloseHandle(again), 0);
    EXPECT_NE(ScmCloseHandle(svc), 0);
    PlatformSetLastError(0);
    EXPECT_EQ(ScmOpenService(manager, name.c_str(), kServiceAllAccess), 0u);
    EXPECT_EQ(PlatformLastError(), kErrorServiceDoesNotExist);
    EXPECT_NE(ScmCloseHandle(manager), 0);
    PlatformSetLastError(0);
    EXPECT_EQ(ScmCloseHandle(0), 0);
    EXPECT_EQ(PlatformLastError(), kErrorInvalidHandle);
}

}  // namespace
