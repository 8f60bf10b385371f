#include "platform/path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct PathCase {
    const char *written;
    const char *opened;
};

TEST(MapPath, MapsWindowsPathsAndLeavesPosixPaths) {
    const PathCase cases[] = {
        {"c:\\syslog", "/syslog"},
        {"C:\\syslog\\syslog.conf", "/syslog/syslog.conf"},
        {"\\syslog\\messages", "/syslog/messages"},
        {"c:foo", "foo"},
        {"/var/log/tarnwick", "/var/log/tarnwick"},
        {"syslog.pid", "syslog.pid"},
        {"1:\\x", "1:/x"},  // a drive is a letter
        {"", ""},
    };
    for (const PathCase &c : cases) {
        char out[64];
        ASSERT_EQ(MapPath(c.written, out, sizeof out), 0) << c.written;
        EXPECT_STREQ(out, c.opened) << c.written;
    }
}

TEST(MapPath, RefusesWhatDoesNotFit) {
    char out[8];
    EXPECT_EQ(MapPath("/1234567", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(MapPath("c:\\123456", out, sizeof out), 0);  // the drive does not count
    EXPECT_STREQ(out, "/123456");
}

}  // namespace
