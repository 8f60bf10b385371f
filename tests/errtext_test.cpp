#include "diag/errtext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/debug_testing.h"
#include "diag/errtext_testing.h"
#include "platform/process.h"
#include "platform/syserr.h"
#include "test_util.h"

namespace {

// A system with one text, so that the lines can be pinned on any platform.
size_t FakeSystemText(unsigned long code, char *buffer, size_t size) {
    const char *text = code == 5 ? "Access is denied.\r\n" : nullptr;
    if (text == nullptr || std::strlen(text) + 1 > size) {
        return 0;
    }
    std::strcpy(buffer, text);
    return std::strlen(text);
}
const ErrTextOps kFakeOps = {FakeSystemText};

std::string ErrorLine(const std::string &body) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%03lX> Error   : ", ThreadId());
    return prefix + body;
}

class ErrText : public ::testing::Test {
  protected:
    void SetUp() override { ErrTextSetForTest(&kFakeOps); }
    void TearDown() override { ErrTextSetForTest(nullptr); }

    testutil::TraceCatcher trace_{Error};
};

struct LookupCase {
    unsigned long code;
    const char *text;  // nullptr: no text
};

TEST_F(ErrText, LoadErrorTextLooksUpTheLow16BitsOfCodesFrom10000) {
    const LookupCase cases[] = {
        {0, "[0] No Error"},
        {10000, "[0] No Error"},
        {10048, "[10048] Address already in use"},
        {11004, "[11004] Valid name, no data record of requested  \ntype"},
        {1, nullptr},
        {5, nullptr},
        {9999, nullptr},
        {10001, nullptr},           // between two entries
        {11005, nullptr},           // above the last
        {0x12710, "[0] No Error"},  // low 16 bits 10000
        {0x20000000, "No Error"},
        {0x20000001, "Proper connection not found"},
        {0x2000002B, "Not enough memory to allocate a DBPROCESS\n"},
        {0x200003E8, nullptr},
        {0x7FFF2740, "[10048] Address already in use"},
        {0x80000000, nullptr},  // negative: never looked up
        {0x80002740, nullptr},
        {0xE0000002, nullptr},
        {0xFFFFFFFF, nullptr},
    };
    for (const LookupCase &c : cases) {
        char buf[128] = "untouched";
        int n = LoadErrorText(c.code, buf, sizeof buf);
        if (c.text == nullptr) {
            EXPECT_EQ(n, 0) << std::hex << c.code;
            EXPECT_STREQ(buf, "untouched") << std::hex << c.code;
        } else {
            EXPECT_EQ(n, static_cast<int>(std::strlen(c.text))) << std::hex << c.code;
            EXPECT_STREQ(buf, c.text) << std::hex << c.code;
        }
    }
}

TEST_F(ErrText, LoadErrorTextCutsToTheBuffer) {
    char buf[8];
    EXPECT_EQ(LoadErrorText(10048, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "[10048]");
}

struct TraceCase {
    unsigned long code;
    const char *line;  // after the trace prefix
};

TEST_F(ErrText, TraceSysErrorWritesOneLineInTheRightFormat) {
    const TraceCase cases[] = {
        {0, "SOCKET_ERROR(0): [0] No Error(receive.cpp : L'77)\n"},
        {10048, "SOCKET_ERROR(10048): [10048] Address already in use(receive.cpp : L'77)\n"},
        {10004, "SOCKET_ERROR(10004): [10004] Interrupted system call(receive.cpp : L'77)\n"},
        {5, "SYSTEM_ERROR(5): Access is denied.\r\n (receive.cpp : L'77)\n"},
        {10001, "SYSTEM_ERROR(10001): Unknown Error(10001)\n (receive.cpp : L'77)\n"},
        {11005, "SYSTEM_ERROR(11005): Unknown Error(11005)\n (receive.cpp : L'77)\n"},
        {0x1FFFFFFF, "SYSTEM_ERROR(536870911): Unknown Error(536870911)\n (receive.cpp : L'77)\n"},
        {0x20000001, "SOCKET_ERROR(536870913): Proper connection not found(receive.cpp : L'77)\n"},
        {0x20002740,
         "SOCKET_ERROR(536880960): [10048] Address already in use(receive.cpp : L'77)\n"},
        {0x200003E8,
         "SYSTEM_ERROR(536871912): Facility=Runtime\r\nThe Quillon started successfully.\r\n "
         "(receive.cpp : L'77)\n"},
        {0x20001234,
         "SYSTEM_ERROR(536875572): Unknown LocalSystem Error(536875572)\n (receive.cpp : L'77)\n"},
        {0xE0000002, "SYSTEM_ERROR(-536870910): Transmission failed\r\n (receive.cpp : L'77)\n"},
        {0xE0000031, "SYSTEM_ERROR(-536870863): Tx/Rx Queue is full. \r\n (receive.cpp : L'77)\n"},
        {0x80000000,
         "SYSTEM_ERROR(-2147483648): Unknown LocalSystem Error(-2147483648)\n "
         "(receive.cpp : L'77)\n"},
        {0x80002740,
         "SYSTEM_ERROR(-2147473600): Unknown LocalSystem Error(-2147473600)\n "
         "(receive.cpp : L'77)\n"},
        {0xFFFFFFFF, "SYSTEM_ERROR(-1): Unknown LocalSystem Error(-1)\n (receive.cpp : L'77)\n"},
    };
    for (const TraceCase &c : cases) {
        trace_.Clear();
        TraceSysError(c.code, "/home/build/tarnwick/engine/receive.cpp", 77);
        ASSERT_EQ(trace_.Lines().size(), 1u) << std::hex << c.code;
        EXPECT_EQ(trace_.Lines()[0], ErrorLine(c.line)) << std::hex << c.code;
    }
}

TEST_F(ErrText, SystemTextsComeFromThePlatform) {
    ErrTextSetForTest(nullptr);
    char text[128];
    ASSERT_GT(SystemErrorText(5, text, sizeof text), 0u);
    TraceSysError(5, "timer/timer.cpp", 12);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(trace_.Lines()[0],
              ErrorLine(std::string("SYSTEM_ERROR(5): ") + text + " (timer.cpp : L'12)\n"));

    trace_.Clear();
    TraceSysError(0x1FFFFFFF, "timer.cpp", 12);
    ASSERT_EQ(trace_.Lines().size(), 1u);
    EXPECT_EQ(
        trace_.Lines()[0],
        ErrorLine("SYSTEM_ERROR(536870911): Unknown Error(536870911)\n (timer.cpp : L'12)\n"));
}

TEST_F(ErrText, TracesTheSourceFileByItsBaseName) {
    const struct {
        const char *file;
        const char *shown;
    } cases[] = {
        {"engine/receive.cpp", "receive.cpp"},
        {"c:\\src\\engine\\receive.cpp", "receive.cpp"},
        {"receive.cpp", "receive.cpp"},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto &c : cases) {
        trace_.Clear();
        TraceSysError(10048, c.file, 9);
        ASSERT_EQ(trace_.Lines().size(), 1u);
        EXPECT_EQ(trace_.Lines()[0],
                  ErrorLine(std::string("SOCKET_ERROR(10048): [10048] Address already in "
                                        "use(") +
                            c.shown + " : L'9)\n"));
    }
}

TEST_F(ErrText, NothingWhenErrorsAreNotTraced) {
    LogSetMaskForTest(Trace | Warning | Network | InOut | Database);
    TraceSysError(10048, "receive.cpp", 1);
    TraceSysError(5, "receive.cpp", 1);
    EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(ErrText, ReportingKeepsTheLastError) {
    errno = 0;
    TraceSysError(10048, "receive.cpp", 1);
    EXPECT_EQ(errno, 0);
}

}  // namespace
