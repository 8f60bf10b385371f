// The smaller Win32 services: system texts, runtime texts and process calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/syserr.h"
#include "test_util.h"

namespace {

// A system text leaves the last error alone (LastErrorText reads it after).
TEST(SysErrWin32, SystemAndRuntimeTexts) {
    PlatformSetLastError(10048);
    char text[256];
    EXPECT_GT(SystemErrorText(2, text, sizeof text), 0u);
    EXPECT_EQ(PlatformLastError(), 10048u);
    EXPECT_STREQ(RuntimeErrorText(ENOENT), "No such file or directory");
}

TEST(ProcessWin32, NamesAndDirectories) {
    char tiny[3];
    ASSERT_EQ(LocalHostName(tiny, sizeof tiny), 0);
    EXPECT_LE(std::strlen(tiny), 2u);
    testutil::TempDir dir;
    EXPECT_EQ(ChangeDirectory((dir / "absent").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
