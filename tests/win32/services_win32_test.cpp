// The smaller Win32 services: system texts, runtime texts and process calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/errors.h"
#include "platform/process.h"
#include "platform/syserr.h"
#include "test_util.h"

namespace {

// System texts end in CR LF, are never cut, and leave the last error alone.
TEST(SysErrWin32, SystemTextsEndInCrLfAndAreNeverCut) {
    PlatformSetLastError(10048);
    char text[256] = "untouched";
    size_t n = SystemErrorText(2, text, sizeof text);  // ERROR_FILE_NOT_FOUND
    ASSERT_GT(n, 2u);
    EXPECT_EQ(std::string(text + n - 2), "\r\n");
    char small[4] = "abc";
    EXPECT_EQ(SystemErrorText(2, small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(SystemErrorText(0x1FFFFFFF, text, sizeof text), 0u);  // unknown to the system
    ModuleMessageText(0x20000001u, text, sizeof text);
    ModuleStringText(10048, text, sizeof text);
    EXPECT_EQ(PlatformLastError(), 10048u);
}

// The runtime's own table, nothing made up beyond its end.
TEST(ErrorsWin32, RuntimeTextsComeFromTheRuntimeTable) {
    EXPECT_STREQ(RuntimeErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(RuntimeErrorText(-1), nullptr);
    EXPECT_EQ(RuntimeErrorText(43), nullptr);
    EXPECT_EQ(RuntimeErrorText(EADDRINUSE), nullptr);
}

TEST(ProcessWin32, IdsNamesAndDirectories) {
    EXPECT_NE(ProcessId(), 0u);
    char name[64] = "untouched";
    ASSERT_EQ(LocalHostName(name, sizeof name), 0);
    EXPECT_GT(std::strlen(name), 0u);
    char tiny[3];
    ASSERT_EQ(LocalHostName(tiny, sizeof tiny), 0);
    EXPECT_LE(std::strlen(tiny), 2u);

    testutil::TempDir dir;
    std::filesystem::path before = std::filesystem::current_path();
    errno = 0;
    EXPECT_EQ(ChangeDirectory((dir / "absent").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ChangeDirectory(dir.path().c_str()), 0);
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), dir.path()));
    std::filesystem::current_path(before);
}

}  // namespace
