// Text-mode files: CR LF on disk, LF in memory.
#include "platform/textfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "test_util.h"

namespace {

// Long enough that the stream's read buffer ends between CR and LF somewhere;
// a lone CR stays.  The Windows form of the path (backslashes, a drive) opens
// the same file.
TEST(TextFile, StreamsWriteCrLfAndReadLf) {
    testutil::TempDir dir;
    std::string windows = dir / "a.txt";
    std::replace(windows.begin(), windows.end(), '/', '\\');
    windows = windows[1] == ':' ? windows : "c:" + windows;
    FILE *f = TextOpen(windows.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::string disk, memory;
    for (int i = 0; i < 3000; ++i) {
        std::fprintf(f, "%s\n", std::string(i % 7, 'x').c_str());
        disk += std::string(i % 7, 'x') + "\r\n";
        memory += std::string(i % 7, 'x') + "\n";
    }
    std::fputs("lines\r", f);
    std::fclose(f);
    EXPECT_EQ(testutil::ReadFile(dir / "a.txt"), disk + "lines\r");
    f = TextOpen((dir / "a.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[64];
    std::string all;
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        all += buf;
    }
    std::fclose(f);
    EXPECT_EQ(all, memory + "lines\r");
}

// A line too large for one buffer goes whole; the caller's byte count is returned.
TEST(TextFile, GatheredWritesAppendWholeLinesWithCrLf) {
    testutil::TempDir dir;
    int fd = TextOpenAppend((dir / "log").c_str(), true);
    ASSERT_GE(fd, 0);
    std::string big(5000, 'y');
    big[2500] = '\n';
    const TextPiece pieces[] = {{"host ", 5}, {big.data(), big.size()}, {"\n", 1}};
    EXPECT_EQ(TextWritePieces(fd, pieces, 3), 5006);
    TextClose(fd);
    EXPECT_EQ(testutil::ReadFile(dir / "log"),
              "host " + big.substr(0, 2500) + "\r\n" + big.substr(2501) + "\r\n");
}

}  // namespace
