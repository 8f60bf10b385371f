#include "diag/errtext.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "diag/debug.h"
#include "diag/errtext_testing.h"
#include "platform/syserr.h"
#include "test_util.h"

namespace {

// A system with one text, so that the lines can be pinned on any platform.
const ErrTextOps kFakeOps = {[](unsigned long code, char *buffer, size_t size) -> size_t {
    return code == 5 && size > 19 ? std::strlen(std::strcpy(buffer, "Access is denied.\r\n")) : 0;
}};

TEST(ErrText, LoadErrorTextLooksUpTheLow16BitsOfCodesFrom10000) {
    const std::pair<unsigned long, const char *> cases[] = {
        {0, "[0] No Error"},  // looked up as 10000
        {10048, "[10048] Address already in use"},
        {9999, nullptr},
        {10001, nullptr},           // between two entries
        {0x12710, "[0] No Error"},  // low 16 bits 10000
        {0x20000001, "Proper connection not found"},
        {0x200003E8, nullptr},
        {0x7FFF2740, "[10048] Address already in use"},
        {0x80002740, nullptr},  // negative: never looked up
        {0xFFFFFFFF, nullptr},
    };
    for (auto [code, text] : cases) {
        char buf[128] = "untouched";
        EXPECT_EQ(LoadErrorText(code, buf, sizeof buf), text ? int(std::strlen(text)) : 0) << code;
        EXPECT_STREQ(buf, text ? text : "untouched") << code;
    }
    char small[8];
    EXPECT_EQ(LoadErrorText(10048, small, sizeof small), 7);
    EXPECT_STREQ(small, "[10048]");
}

TEST(ErrText, TraceSysErrorWritesOneLineInTheRightFormat) {
    const struct {
        unsigned long code;
        const char *file, *line;  // the line after the label
    } cases[] = {
        {0, "engine/receive.cpp", "SOCKET_ERROR(0): [0] No Error(receive.cpp : L'77)\n"},
        {10048, "c:\\src\\receive.cpp",
         "SOCKET_ERROR(10048): [10048] Address already in use(receive.cpp : L'77)\n"},
        {5, "receive.cpp", "SYSTEM_ERROR(5): Access is denied.\r\n (receive.cpp : L'77)\n"},
        {10001, "", "SYSTEM_ERROR(10001): Unknown Error(10001)\n ( : L'77)\n"},
        {0x1FFFFFFF, nullptr, "SYSTEM_ERROR(536870911): Unknown Error(536870911)\n ( : L'77)\n"},
        {0x20000001, "/b/t/a.cpp",
         "SOCKET_ERROR(536870913): Proper connection not found(a.cpp : L'77)\n"},
        {0x200003E8, "a.cpp",
         "SYSTEM_ERROR(536871912): Facility=Runtime\r\nThe Quillon started successfully.\r\n "
         "(a.cpp : L'77)\n"},
        {0x20001234, "a.cpp",
         "SYSTEM_ERROR(536875572): Unknown LocalSystem Error(536875572)\n (a.cpp : L'77)\n"},
        {0xE0000002, "a.cpp", "SYSTEM_ERROR(-536870910): Transmission failed\r\n (a.cpp : L'77)\n"},
        {0x80002740, "a.cpp",
         "SYSTEM_ERROR(-2147473600): Unknown LocalSystem Error(-2147473600)\n (a.cpp : L'77)\n"},
    };
    testutil::TraceCatcher trace(Error);
    ErrTextSetForTest(&kFakeOps);
    for (const auto &c : cases) {
        trace.Clear();
        TraceSysError(c.code, c.file, 77);
        EXPECT_EQ(trace.Texts("Error   "), std::vector<std::string>{c.line}) << c.code;
    }
    // The platform's own texts.
    ErrTextSetForTest(nullptr);
    char text[128];
    ASSERT_GT(SystemErrorText(5, text, sizeof text), 0u);
    trace.Clear();
    TraceSysError(5, "timer.cpp", 12);
    EXPECT_EQ(trace.Texts(), std::vector<std::string>{"SYSTEM_ERROR(5): " + std::string(text) +
                                                      " (timer.cpp : L'12)\n"});
}

}  // namespace
