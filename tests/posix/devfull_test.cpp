// Writes that fail for want of space, on the device that is always full.
// POSIX only: Windows has no such device.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "engine/route.h"
#include "platform/textfile.h"
#include "route_fixture.h"

namespace {

using routetest::CountLines;
using routetest::ReadFile;

TEST(TextFileFullDevice, AFailedWriteSetsErrno) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    int fd = TextOpenAppend("/dev/full", false);
    ASSERT_GE(fd, 0);
    const TextPiece piece = {"x\n", 2};
    errno = 0;
    EXPECT_EQ(TextWritePieces(fd, &piece, 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    TextClose(fd);
}

class OutputFullDevice : public routetest::RouteTest {};

TEST_F(OutputFullDevice, FileWriteErrorIsDisabledAndReported) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    LogTarget *full = AddFile("full");
    LogTarget *good = AddFile("good");
    std::filesystem::create_symlink("/dev/full", Day("full"));
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(full->kind, TargetKind::UNUSED);
    EXPECT_EQ(full->fd, -1);
    EXPECT_EQ(good->kind, TargetKind::FILE);
    EXPECT_EQ(ReadFile(Day("good")), "Mar 07 10:00:00 loghost tarnwick: " + Path("full") +
                                         ": No space left on device\r\n"
                                         "Mar 07 10:00:00 h1 text\r\n");
}

TEST_F(OutputFullDevice, DeviceRetryIsBounded) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    // Every reopen of /dev/full succeeds and every write fails.
    LogTarget *tty = Add(TargetKind::TTY);
    std::memset(tty->levels, 7, sizeof tty->levels);
    std::snprintf(tty->dest.filename, sizeof tty->dest.filename, "/dev/full");
    tty->fd = static_cast<int16_t>(TextOpenAppend("/dev/full", false));
    ASSERT_GE(tty->fd, 0);
    AddFile("good");
    logmsg(13, "text", "h1", 0);
    EXPECT_EQ(tty->kind, TargetKind::UNUSED);
    EXPECT_EQ(tty->fd, -1);
    EXPECT_EQ(CountLines("Logging to TTY"), 4);
    EXPECT_EQ(CountLines("/dev/full: 4 failed writes, giving up\n"), 1);
    EXPECT_EQ(ReadFile(Day("good")),
              "Mar 07 10:00:00 loghost tarnwick: /dev/full: No space left on device\r\n"
              "Mar 07 10:00:00 h1 text\r\n");
}

}  // namespace
