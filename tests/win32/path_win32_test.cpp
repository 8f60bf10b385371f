// Paths on Windows: opened as written.
#include <gtest/gtest.h>

#include "platform/path.h"

namespace {

TEST(MapPathWin32, PassesPathsUnchanged) {
    const char *paths[] = {
        "c:\\syslog", "C:\\syslog\\syslog.conf", "\\syslog\\messages", "c:foo", "syslog.pid", "",
    };
    for (const char *path : paths) {
        char out[64];
        ASSERT_EQ(MapPath(path, out, sizeof out), 0) << path;
        EXPECT_STREQ(out, path);
    }
}

TEST(MapPathWin32, RefusesWhatDoesNotFit) {
    char out[8];
    EXPECT_EQ(MapPath("c:\\1234", out, sizeof out), 0);
    EXPECT_STREQ(out, "c:\\1234");
    EXPECT_EQ(MapPath("c:\\12345", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
}

}  // namespace
