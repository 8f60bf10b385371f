// Writes that fail for want of space, on /dev/full and on a small tmpfs (POSIX only).
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <cerrno>

#include "platform/textfile.h"
#include "route_fixture.h"

namespace {

class FullDisk : public routetest::RouteTest {};

// A line that does not fit leaves nothing behind, or where the file cannot be cut (append-only)
// the next line starts afresh; caller text and disk text, on a 16 KiB tmpfs of its own.
TEST_F(FullDisk, APartLineLeavesNothingOrTheNextLineStartsAfresh) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        GTEST_SKIP() << "no private mount namespace (not root)";
    }
    const std::string log = Path("log"), filler = Path("filler"), text(99, 'x');
    auto write = [&](int fd, bool raw, const std::string &line) {
        const std::string form = line + (raw ? "\r\n" : "\n");
        const TextPiece piece = {form.data(), form.size()};
        return raw ? TextAppendDisk(fd, &piece, 1) == 0
                   : TextWritePieces(fd, &piece, 1) == static_cast<long>(form.size());
    };
    for (int round = 0; round < 4; ++round) {
        const bool append_only = round % 2 == 1, raw = round >= 2;
        ASSERT_EQ(mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=16k"), 0);
        testutil::WriteFile(filler, std::string(4096, 'f'));  // a page, freed later
        int fd = raw ? TextOpenLog(log.c_str()) : TextOpenAppend(log.c_str(), true);
        int flags = FS_APPEND_FL;
        ASSERT_TRUE(!append_only || ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        std::string whole;
        while (write(fd, raw, text)) {
            whole += text + "\r\n";
        }
        EXPECT_EQ(errno, ENOSPC);
        TextClose(fd);
        const std::string kept = testutil::ReadFile(log);
        EXPECT_EQ(kept.substr(0, whole.size()), whole) << round;
        EXPECT_EQ(kept.size() > whole.size(), append_only) << round;
        std::filesystem::remove(filler);
        fd = raw ? TextOpenLog(log.c_str()) : TextOpenAppend(log.c_str(), true);
        EXPECT_TRUE(write(fd, raw, "next")) << round;
        TextClose(fd);
        EXPECT_EQ(testutil::ReadFile(log), kept + (append_only ? "\r\n" : "") + "next\r\n");
        umount2(dir_.path().c_str(), MNT_DETACH);
    }
}

// A file whose write fails is reported once for the hold, where its first line
// would have come; a device that keeps failing after reopens is given up.
TEST_F(FullDisk, WriteErrorsToTheFullDeviceDisableAndReport) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    LogTarget *full = AddFile("full");
    Add(TargetKind::TTY, 7, "/dev/full");
    AddFile("good");
    std::filesystem::create_symlink("/dev/full", Day("full"));
    {
        EngineGuard batch;
        logmsg(13, "text", "h1", 0);
        logmsg(13, "more", "h1", 0);
    }
    EXPECT_EQ(full->kind, TargetKind::UNUSED);
    EXPECT_TRUE(trace_.Has("/dev/full: 4 failed writes, giving up\n"));
    const std::string s = "Mar 07 10:00:00 ";
    EXPECT_EQ(routetest::ReadFile(Day("good")),
              s + "loghost tarnwick: " + Path("full") + ": No space left on device\r\n" + s +
                  "loghost tarnwick: /dev/full: No space left on device\r\n" + s + "h1 text\r\n" +
                  s + "h1 more\r\n");
}

}  // namespace
