// Writes that fail for want of space: on the device that is always full, and
// on a small file system that fills up.  POSIX only: Windows has neither.
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "engine/output.h"
#include "platform/textfile.h"
#include "route_fixture.h"
#include "test_util.h"

namespace {

using routetest::ReadFile;

// A line that does not fit leaves no part of it behind; where the file cannot
// be cut (append-only), the next line begins on a line of its own.  On a
// 16 KiB file system in this thread's own mount namespace (root only).
TEST(TextFileFullDisk, APartLineLeavesNothingOrTheNextLineStartsAfresh) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        GTEST_SKIP() << "no private mount namespace (not root)";
    }
    const std::string dir = testutil::MakeTempDir("tarnwick_full_");
    const std::string log = dir + "/log", filler = dir + "/filler";
    const std::string text(99, 'x');
    const std::string disk = text + "\r\n";
    const TextPiece line[] = {{text.data(), text.size()}, {"\n", 1}};
    const TextPiece next[] = {{"next", 4}, {"\n", 1}};
    const TextPiece diskline = {disk.data(), disk.size()}, disknext = {"next\r\n", 6};
    // Both writers: caller text (TextWritePieces) and disk text (TextAppendDisk).
    auto write = [&](int fd, bool raw, bool last) {
        return raw ? TextAppendDisk(fd, last ? &disknext : &diskline, 1) == 0
                   : TextWritePieces(fd, last ? next : line, 2) == (last ? 5 : 100);
    };
    auto open = [&](bool raw) {
        return raw ? TextOpenLog(log.c_str()) : TextOpenAppend(log.c_str(), true);
    };
    for (int round = 0; round < 4; ++round) {
        const bool append_only = round % 2 == 1, raw = round >= 2;
        ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k"), 0);
        testutil::WriteFile(filler, std::string(4096, 'f'));  // a page, freed later
        int fd = open(raw);
        int flags = FS_APPEND_FL;
        ASSERT_TRUE(!append_only || ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        std::string whole;
        while (write(fd, raw, false)) {
            whole += disk;
        }
        EXPECT_EQ(errno, ENOSPC);
        TextClose(fd);
        const std::string kept = ReadFile(log);
        EXPECT_EQ(kept.substr(0, whole.size()), whole) << round;
        EXPECT_EQ(kept.size() > whole.size(), append_only) << round;

        std::filesystem::remove(filler);
        fd = open(raw);
        EXPECT_TRUE(write(fd, raw, true)) << round;
        TextClose(fd);
        EXPECT_EQ(ReadFile(log), kept + (append_only ? "\r\n" : "") + "next\r\n") << round;
        umount2(dir.c_str(), MNT_DETACH);
    }
    std::filesystem::remove_all(dir);
}

class OutputFullDevice : public routetest::RouteTest {};

// A file whose write fails is reported once for the hold, where its first line
// would have come; a device that keeps failing after reopens is given up.
TEST_F(OutputFullDevice, WriteErrorsDisableAndReport) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    LogTarget *full = AddFile("full");
    LogTarget *tty = Add(TargetKind::TTY, 7, "/dev/full");
    LogTarget *good = AddFile("good");
    std::filesystem::create_symlink("/dev/full", Day("full"));
    {
        EngineGuard batch;
        logmsg(13, "text", "h1", 0);
        logmsg(13, "more", "h1", 0);
    }
    EXPECT_EQ(full->kind, TargetKind::UNUSED);
    EXPECT_EQ(full->fd, -1);
    EXPECT_EQ(tty->kind, TargetKind::UNUSED);
    EXPECT_EQ(good->kind, TargetKind::FILE);
    EXPECT_EQ(Count("/dev/full: 4 failed writes, giving up\n"), 1);
    const std::string s = "Mar 07 10:00:00 ";
    EXPECT_EQ(ReadFile(Day("good")),
              s + "loghost tarnwick: " + Path("full") + ": No space left on device\r\n" + s +
                  "loghost tarnwick: /dev/full: No space left on device\r\n" + s + "h1 text\r\n" +
                  s + "h1 more\r\n");
}

}  // namespace
