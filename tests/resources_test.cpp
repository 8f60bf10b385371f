// The program's message and string tables, and the system's error texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/syserr.h"

namespace {

TEST(Resources, TableTextsByteForByteAndNoOtherIds) {
    const struct {
        bool message;  // the message table, else the string table
        uint32_t id;
        const char *text;
    } listed[] = {
        {true, 0x20000000, "No Error \r\n"},
        {true, 0x200003E8, "Facility=Runtime\r\nThe Quillon started successfully.\r\n"},
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
