// The texts of error codes: the program's message and string tables, the
// system's texts, and the trace line that shows them.
#include "diag/errtext.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "diag/debug.h"
#include "diag/errtext_testing.h"
#include "platform/syserr.h"
#include "test_util.h"

namespace {

// A system without texts, so that the lines can be pinned on any platform.
const ErrTextOps kFakeOps = {[](unsigned long, char *, size_t) -> size_t { return 0; }};

// The string table serves codes from 10000 (0 as 10000) by their low 16 bits,
// the message table those from 0x20000000, the system the rest; each line
// ends in the file's base name and the line: "(a.cpp : L'7)\n".
TEST(ErrText, TraceSysErrorWritesOneLineWithTheTextOfItsTable) {
    const std::pair<unsigned long, std::string> cases[] = {
        {0, "SOCKET_ERROR(0): [0] No Error"},
        {0x7FFF2740, "SOCKET_ERROR(2147428160): [10048] Address already in use"},
        {9999, "SYSTEM_ERROR(9999): Unknown Error(9999)\n "},
        {0x20000001, "SOCKET_ERROR(536870913): Proper connection not found"},
        {0x200003E8,
         "SYSTEM_ERROR(536871912): Facility=Runtime\r\nThe Quillon started successfully.\r\n "},
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

TEST(Resources, TableTextsByteForByteAndNoOtherIds) {
    const struct {
        bool message;  // the message table, else the string table
        uint32_t id;
        const char *text;
    } listed[] = {
        {true, 0x20000000, "No Error \r\n"},
        {true, 0xE0000031, "Tx/Rx Queue is full. \r\n"},
        {true, 0xE0000052, "Failed to allocate memory.\r\n"},
        {false, 0, "No Error"},
        {false, 10049, "[10049] Can't assign requested address"},
        {false, 11004, "[11004] Valid name, no data record of requested  \ntype"},
    };
    for (const auto &c : listed) {
        char buf[128];
        size_t n = c.message ? ModuleMessageText(c.id, buf, sizeof buf)
                             : ModuleStringText(c.id, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n + 1), std::string(c.text) + '\0') << std::hex << c.id;
        // Another severity, no customer bit, a neighbour: no message text.
        for (uint32_t p : {c.id ^ 0x20000000u, c.id ^ 0x40000000u, c.id ^ 0x80000000u,
                           c.id | 0x10000u, 0x200003EAu, 0xE0000053u, 0x1FFFFFFFu}) {
            EXPECT_TRUE(!c.message || ModuleMessageText(p, buf, sizeof buf) == 0) << std::hex << p;
        }
    }
    // Strings are cut as LoadString cuts; messages and system texts never: no
    // room, no text.
    char buf[32] = "untouched";
    EXPECT_EQ(ModuleStringText(0, buf, 1) + ModuleStringText(0, buf, 0) +
                  ModuleStringText(9999, buf, sizeof buf) + ModuleMessageText(0xE0000052, buf, 28) +
                  SystemErrorText(0x1FFFFFFF, buf, sizeof buf) +
                  SystemErrorText(0xFFFFFFFF, buf, sizeof buf) + SystemErrorText(5, buf, 4),
              0u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(ModuleStringText(0, buf, 5), 4u);
    EXPECT_STREQ(buf, "No E");
    EXPECT_EQ(ModuleMessageText(0xE0000052, buf, 29), 28u);
}

}  // namespace
