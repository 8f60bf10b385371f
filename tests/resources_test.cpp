// The program's message and string tables, and the system's error texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "platform/syserr.h"

namespace {

using Text = std::pair<uint32_t, const char *>;

TEST(Resources, MessageTableTextsByteForByteAndNoOtherIds) {
    const Text listed[] = {
        {0x20000000, "No Error \r\n"},
        {0x200003E8, "Facility=Runtime\r\nThe Quillon started successfully.\r\n"},
        {0x200003E9, "Facility=Runtime\r\nThe Quillon stopped successfully.\r\n"},
        {0x20008002, "SysCritical\r\n"},
        {0xE0000002, "Transmission failed\r\n"},
        {0xE0000031, "Tx/Rx Queue is full. \r\n"},
        {0xE0000052, "Failed to allocate memory.\r\n"},
    };
    for (const auto &[id, text] : listed) {
        char buf[128];
        size_t n = ModuleMessageText(id, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n), text) << std::hex << id;
        EXPECT_EQ(buf[n], '\0');
        // Neighbours, and the ID with another severity or without the
        // customer bit, have no text.
        for (uint32_t p : {id ^ 0x20000000u, id ^ 0x40000000u, id ^ 0x80000000u, id | 0x10000u,
                           0x200003EAu, 0xE0000053u, 0x1FFFFFFFu}) {
            char none[8] = "none";
            EXPECT_EQ(ModuleMessageText(p, none, sizeof none), 0u) << std::hex << p;
            EXPECT_STREQ(none, "none");
        }
    }
    // Never cut: a text that does not fit is not given at all.
    char buf[32] = "x";
    EXPECT_EQ(ModuleMessageText(0xE0000002, buf, 21), 0u);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(ModuleMessageText(0xE0000002, buf, 22), 21u);
}

TEST(Resources, StringTableTextsByteForByteAndNoOtherIds) {
    const Text listed[] = {
        {0, "No Error"},
        {31, "TC/RX Queue is full"},
        {43, "Not enough memory to allocate a DBPROCESS\n"},
        {52, "Failed to allocate memory"},
        {10000, "[0] No Error"},
        {10049, "[10049] Can't assign requested address"},
        {11004, "[11004] Valid name, no data record of requested  \ntype"},
    };
    for (const auto &[id, text] : listed) {
        char buf[128];
        size_t n = ModuleStringText(id, buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n), text) << id;
        EXPECT_EQ(buf[n], '\0');
    }
    // 21 application texts, 51 socket texts from 10000.
    int application = 0, sockets = 0;
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        char buf[8] = "none";
        bool found = ModuleStringText(id, buf, sizeof buf) != 0;
        ASSERT_EQ(found, std::strcmp(buf, "none") != 0) << id;
        (id < 10000 ? application : sockets) += found;
    }
    EXPECT_EQ(application, 21);
    EXPECT_EQ(sockets, 51);
    // Cut as LoadString cuts; no room, no text.
    char buf[16] = "untouched";
    EXPECT_EQ(ModuleStringText(0, buf, 1), 0u);
    EXPECT_EQ(ModuleStringText(0, buf, 0), 0u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(ModuleStringText(0, buf, 5), 4u);
    EXPECT_STREQ(buf, "No E");
}

TEST(Resources, SystemTextsEndWithTheLineEndOrLeaveTheBufferAlone) {
    char buf[128];
    size_t n = SystemErrorText(5, buf, sizeof buf);
    ASSERT_GT(n, 2u);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_EQ(std::string(buf + n - 2), "\r\n");
    EXPECT_NE(buf[0], '\r');
    for (unsigned long code : {0x1FFFFFFFul, 0xFFFFFFFFul}) {
        char none[128] = "untouched";
        EXPECT_EQ(SystemErrorText(code, none, sizeof none), 0u) << code;
        EXPECT_STREQ(none, "untouched");
    }
    char small[4] = "abc";
    EXPECT_EQ(SystemErrorText(5, small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");
}

}  // namespace
