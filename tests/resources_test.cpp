#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "platform/syserr.h"

namespace {

struct Text {
    uint32_t id;
    const char *text;
};

// The message table, written out here independently of its source.
const Text kMessages[] = {
    {0x20000000, "No Error \r\n"},
    {0x20000001, "Proper connection not found\r\n"},
    {0x200003E8, "Facility=Runtime\r\nThe Quillon started successfully.\r\n"},
    {0x200003E9, "Facility=Runtime\r\nThe Quillon stopped successfully.\r\n"},
    {0x20008000, "SysWarn\r\n"},
    {0x20008001, "SysInfo\r\n"},
    {0x20008002, "SysCritical\r\n"},
    {0xE0000002, "Transmission failed\r\n"},
    {0xE0000003, "Acknowledgement timeout\r\n"},
    {0xE0000004, "Session is not ready\r\n"},
    {0xE0000005, "Transaction # mismatch\r\n"},
    {0xE0000020, "Directory change failed\r\n"},
    {0xE0000021, "Specified file not found\r\n"},
    {0xE0000022, "Failed to delete the file\r\n"},
    {0xE0000030, "Tx/Rx Queue is still NULL.\r\n"},
    {0xE0000031, "Tx/Rx Queue is full. \r\n"},
    {0xE0000032, "Insert to TX Queue failed\r\n"},
    {0xE0000040, "Connection attempt to DBMS failed.\r\n"},
    {0xE0000041, "Connection to DBMS abnormally broken.\r\n"},
    {0xE0000042, "DB-processing timeout/canceled\r\n"},
    {0xE0000043, "Not enough memory to allocate a DBPROCESS\r\n"},
    {0xE0000044, "General SQL server error/operation canceled\r\n"},
    {0xE0000045, "The number of max users exceeds\r\n"},
    {0xE0000050, "Trigger table is full\r\n"},
    {0xE0000051, "Failed to create an event\r\n"},
    {0xE0000052, "Failed to allocate memory.\r\n"},
};
static_assert(sizeof kMessages / sizeof kMessages[0] == 26, "26 messages");

// The string table: application texts, then Winsock texts from 10000.
const Text kStrings[] = {
    {0, "No Error"},
    {1, "Proper connection not found"},
    {2, "Transmission failed"},
    {3, "Acknowledgement timeout"},
    {4, "Session is not ready"},
    {5, "Transaction # mismatch"},
    {20, "Directory change failed"},
    {21, "Specified file not found"},
    {22, "Failed to delete the file"},
    {30, "TX/RX Queue is still NULL"},
    {31, "TC/RX Queue is full"},
    {32, "Insert to TX Queue failed"},
    {40, "Connection attmpt to DBMS failed"},
    {41, "Connection to DBMS abnormally broken"},
    {42, "DB-Processing timeout/canceled"},
    {43, "Not enough memory to allocate a DBPROCESS\n"},
    {44, "General SQL server error/ operation canceled"},
    {45, "The number of max. user exceeded"},
    {50, "Trigger table is full"},
    {51, "Failed to create an event"},
    {52, "Failed to allocate memory"},
    {10000, "[0] No Error"},
    {10004, "[10004] Interrupted system call"},
    {10009, "[10009] Bad file number"},
    {10013, "[10013] Permission denied"},
    {10014, "[10014] Bad address"},
    {10022, "[10022] Invalid argument"},
    {10024, "[10024] Too many open files"},
    {10035, "[10035] Operation would block"},
    {10036, "[10036] Operation now in progress"},
    {10037, "[10037] Operation already in progress"},
    {10038, "[10038] Socket operation on non-socket"},
    {10039, "[10039] Destination address required"},
    {10040, "[10040] Message too long"},
    {10041, "[10041] Protocol wrong type for socket"},
    {10042, "[10042] Bad protocol option"},
    {10043, "[10043] Protocol not supported"},
    {10044, "[10044] Socket type not supported"},
    {10045, "[10045] Operation not supported on socket"},
    {10046, "[10046] Protocol family not supported"},
    {10047, "[10047] Address family not supported by protocol family"},
    {10048, "[10048] Address already in use"},
    {10049, "[10049] Can't assign requested address"},
    {10050, "[10050] Network is down"},
    {10051, "[10051] Network is unreachable"},
    {10052, "[10052] Net dropped connection or reset"},
    {10053, "[10053] Software caused connection abort"},
    {10054, "[10054] Connection reset by peer"},
    {10055, "[10055] No buffer space available"},
    {10056, "[10056] Socket is already connected"},
    {10057, "[10057] Socket is not connected"},
    {10058, "[10058] Can't send after socket shutdown"},
    {10059, "[10059] Too many references, can't splice"},
    {10060, "[10060] Operation timed out"},
    {10061, "[10061] Connection refused"},
    {10062, "[10062] Too many levels of symbolic links"},
    {10063, "[10063] File name too long"},
    {10064, "[10064] Host is down"},
    {10065, "[10065] No Route to Host"},
    {10066, "[10066] Directory not empty"},
    {10067, "[10067] Too many processes"},
    {10068, "[10068] Too many users"},
    {10069, "[10069] Disc Quota Exceeded"},
    {10070, "[10070] Stale NFS file handle"},
    {10071, "[10071] Too many levels of remote in path"},
    {10091, "[10091] Network SubSystem is unavailable"},
    {10092, "[10092] WINSOCK DLL Version out of range"},
    {10093, "[10093] Successful WSASTARTUP not yet performed"},
    {11001, "[11001] Host not found"},
    {11002, "[11002] Non-Authoritative Host not found"},
    {11003, "[11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "[11004] Valid name, no data record of requested  \ntype"},
};
static_assert(sizeof kStrings / sizeof kStrings[0] == 21 + 51, "21 + 51 strings");

TEST(ResourcesMessageTable, EveryIdHasItsTextByteForByte) {
    for (const Text &m : kMessages) {
        char buf[128];
        size_t n = ModuleMessageText(m.id, buf, sizeof buf);
        EXPECT_EQ(n, std::strlen(m.text)) << std::hex << m.id;
        EXPECT_EQ(std::string(buf, n), m.text) << std::hex << m.id;
        EXPECT_EQ(buf[n], '\0');
    }
}

TEST(ResourcesMessageTable, HasNoOtherIds) {
    std::set<uint32_t> listed;
    for (const Text &m : kMessages) {
        listed.insert(m.id);
    }
    // Neighbours, and each ID with another severity or without the customer
    // bit.
    std::set<uint32_t> probes = {0, 1, 0x3E8, 0x1FFFFFFF, 0x20000002, 0x7FFFFFFF, 0xFFFFFFFF};
    for (uint32_t id : listed) {
        for (uint32_t p : {id - 1, id + 1, id & ~0x20000000u, id ^ 0x40000000u, id ^ 0x80000000u,
                           id | 0x00010000u}) {
            probes.insert(p);
        }
    }
    for (uint32_t id : probes) {
        if (listed.count(id) != 0) {
            continue;
        }
        char buf[128] = "untouched";
        EXPECT_EQ(ModuleMessageText(id, buf, sizeof buf), 0u) << std::hex << id;
        EXPECT_STREQ(buf, "untouched");
    }
}

TEST(ResourcesMessageTable, NeverCutsAText) {
    const char *text = "Transmission failed\r\n";  // 21 characters
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(ModuleMessageText(0xE0000002, buf, 21), 0u);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(ModuleMessageText(0xE0000002, buf, 22), 21u);
    EXPECT_STREQ(buf, text);
}

TEST(ResourcesStringTable, EveryIdHasItsTextByteForByte) {
    for (const Text &s : kStrings) {
        char buf[128];
        size_t n = ModuleStringText(s.id, buf, sizeof buf);
        EXPECT_EQ(n, std::strlen(s.text)) << s.id;
        EXPECT_EQ(std::string(buf, n), s.text) << s.id;
        EXPECT_EQ(buf[n], '\0');
    }
}

TEST(ResourcesStringTable, HasNoOtherIds) {
    std::set<uint32_t> listed;
    for (const Text &s : kStrings) {
        listed.insert(s.id);
    }
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
        if (listed.count(id) != 0) {
            continue;
        }
        char buf[16] = "untouched";
        ASSERT_EQ(ModuleStringText(id, buf, sizeof buf), 0u) << id;
        ASSERT_STREQ(buf, "untouched") << id;
    }
}

TEST(ResourcesStringTable, CutsAsLoadStringDoes) {
    char buf[16];
    EXPECT_EQ(ModuleStringText(0, buf, 5), 4u);
    EXPECT_STREQ(buf, "No E");
    EXPECT_EQ(ModuleStringText(0, buf, 9), 8u);
    EXPECT_STREQ(buf, "No Error");
    std::strcpy(buf, "untouched");
    EXPECT_EQ(ModuleStringText(0, buf, 1), 0u);
    EXPECT_EQ(ModuleStringText(0, buf, 0), 0u);
    EXPECT_STREQ(buf, "untouched");
}

TEST(ResourcesSystemText, GivesTheSystemsTextWithItsLineEnd) {
    char buf[128];
    size_t n = SystemErrorText(5, buf, sizeof buf);
    ASSERT_GT(n, 2u);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_EQ(std::string(buf + n - 2), "\r\n");
    EXPECT_NE(buf[0], '\r');
}

TEST(ResourcesSystemText, NoTextLeavesTheBufferAlone) {
    for (unsigned long code : {0x1FFFFFFFul, 0x7FFFFFFFul, 0xFFFFFFFFul}) {
        char buf[128] = "untouched";
        EXPECT_EQ(SystemErrorText(code, buf, sizeof buf), 0u) << code;
        EXPECT_STREQ(buf, "untouched");
    }
    char small[4] = "abc";
    EXPECT_EQ(SystemErrorText(5, small, sizeof small), 0u);
    EXPECT_STREQ(small, "abc");
}

}  // namespace
