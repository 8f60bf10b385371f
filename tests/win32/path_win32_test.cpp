#include <gtest/gtest.h>

#include "platform/path.h"

namespace {

// Opened as written; "" when it does not fit.
TEST(MapPathWin32, PassesPathsUnchanged) {
    char out[8];
    for (const char *path : {"c:\\a\\b", "\\a\\b", "c:foo", "", "c:\\1234"}) {
        EXPECT_EQ(MapPath(path, out, sizeof out), 0) << path;
        EXPECT_STREQ(out, path);
    }
    EXPECT_EQ(MapPath("c:\\12345", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
}

}  // namespace
