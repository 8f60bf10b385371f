// The service control manager on Windows, in a process it did not start (the
// service's own calls run in tools/e2e-wine.sh).
#include "platform/scm.h"

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace {

TEST(ScmWin32, WithoutTheManagerNothingRunsAndACutNameIsTold) {
    const ScmTableEntry table[] = {{"Tarnwick", [](uint32_t, char **) {}}, {nullptr, nullptr}};
    EXPECT_EQ(ScmStartDispatcher(table), 0);
    EXPECT_EQ(PlatformLastError(), kErrorFailedServiceControllerConnect);
    char path[512];
    EXPECT_EQ(ScmModuleFileName(path, 8), 8u);
    EXPECT_EQ(PlatformLastError(), kErrorInsufficientBuffer);
}

}  // namespace
