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

TEST(SysErrWin32, SystemTextsEndInCrLfAndAreNeverCut) {
    char text[256] = "untouched";
    size_t n = SystemErrorText(2, text, sizeof text);  // ERROR_FILE_NOT_FOUND
    ASSERT_GT(n, 2u);
    EXPECT_EQ(n, std::strlen(text));
    EXPECT_EQ(std::string(text + n - 2), "\r\n");

    char small[4] = "abc";
    EXPECT_EQ(SystemErrorText(2, small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");
    // No text for a code the system does not know.
    EXPECT_EQ(SystemErrorText(0x1FFFFFFF, text, sizeof text), 0u);
}

TEST(SysErrWin32, LookupsKeepTheLastError) {
    char text[256];
    PlatformSetLastError(10048);
    SystemErrorText(2, text, sizeof text);
    ModuleMessageText(0x20000001u, text, sizeof text);
    ModuleStringText(10048, text, sizeof text);
    SystemErrorText(0x1FFFFFFF, text, sizeof text);
    EXPECT_EQ(PlatformLastError(), 10048u);
}

TEST(ErrorsWin32, RuntimeTextsComeFromTheRuntimeTable) {
    ASSERT_NE(RuntimeErrorText(ENOENT), nullptr);
    EXPECT_STREQ(RuntimeErrorText(ENOENT), "No such file or directory");
    EXPECT_STREQ(RuntimeErrorText(EBADF), "Bad file descriptor");
    EXPECT_EQ(RuntimeErrorText(-1), nullptr);
    // The table ends where the runtime's ends: nothing is made up beyond it.
    EXPECT_EQ(RuntimeErrorText(43), nullptr);
    EXPECT_EQ(RuntimeErrorText(EADDRINUSE), nullptr);
}

TEST(ProcessWin32, IdsNamesAndDirectories) {
    EXPECT_NE(ProcessId(), 0u);
    EXPECT_NE(ThreadId(), 0u);
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
