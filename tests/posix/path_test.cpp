#include "platform/path.h"

#include <gtest/gtest.h>

namespace {

// A leading drive is dropped, backslashes become slashes; "" when too long.
TEST(MapPath, MapsWindowsPathsAndLeavesPosixPaths) {
    const struct {
        const char *written, *opened;
    } cases[] = {
        {"C:\\s\\a.c", "/s/a.c"},  {"\\s\\m", "/s/m"},    {"c:foo", "foo"},
        {"/var/x", "/var/x"},      {"1:\\x", "1:/x"},     {"", ""},
        {"c:\\123456", "/123456"}, {"/1234567", nullptr},  // 8 bytes: too long
    };
    for (const auto &c : cases) {
        char out[8];
        EXPECT_EQ(MapPath(c.written, out, sizeof out), c.opened ? 0 : -1) << c.written;
        EXPECT_STREQ(out, c.opened ? c.opened : "") << c.written;
    }
}

}  // namespace
