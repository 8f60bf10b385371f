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

// The string table serves codes from 10000 (0 as 10000) by their low 16 bits,
// the message table those from 0x20000000, the system the rest; each line
// ends in the file's base name and the line: "(a.cpp : L'7)\n".
TEST(ErrText, TraceSysErrorWritesOneLineWithTheTextOfItsTable) {
    const std::pair<unsigned long, std::string> cases[] = {
        {0, "SOCKET_ERROR(0): [0] No Error"},
        {0x7FFF2740, "SOCKET_ERROR(2147428160): [10048] Address already in use"},
        {5, "SYSTEM_ERROR(5): Access is denied.\r\n "},
        {9999, "SYSTEM_ERROR(9999): Unknown Error(9999)\n "},
        {0x20000001, "SOCKET_ERROR(536870913): Proper connection not found"},
        {0x200003E8,
         "SYSTEM_ERROR(536871912): Facility=Runtime\r\nThe Quillon started successfully.\r\n "},
        {0x20001234, "SYSTEM_ERROR(536875572): Unknown LocalSystem Error(536875572)\n "},
        {0x80002740, "SYSTEM_ERROR(-2147473600): Unknown LocalSystem Error(-2147473600)\n "},
    };
    testutil::TraceCatcher trace(Error);
    ErrTextSetForTest(&kFakeOps);
    for (const auto &[code, line] : cases) {
        trace.Clear();
        TraceSysError(code, "c:\\src/engine\\a.cpp", 7);
        EXPECT_EQ(trace.Texts("Error   "), std::vector<std::string>{line + "(a.cpp : L'7)\n"})
            << code;
    }
    // The platform's own texts, with their line end; no file.
    ErrTextSetForTest(nullptr);
    char text[128];
    size_t n = SystemErrorText(5, text, sizeof text);
    ASSERT_TRUE(n > 2 && std::strlen(text) == n && std::string(text).ends_with("\r\n")) << text;
    trace.Clear();
    TraceSysError(5, nullptr, 12);
    EXPECT_EQ(trace.Texts(),
              std::vector<std::string>{"SYSTEM_ERROR(5): " + std::string(text) + " ( : L'12)\n"});
    EXPECT_EQ(LoadErrorText(9999, text, sizeof text), 0);
}

}  // namespace
