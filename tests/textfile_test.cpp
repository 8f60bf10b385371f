// Text-mode files: CR LF on disk, LF in memory.
#include "platform/textfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "test_util.h"

namespace {

using testutil::ReadFile;

TEST(TextFile, StreamsWriteCrLfAndReadLf) {
    testutil::TempDir dir;
    FILE *f = TextOpen((dir / "a.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "%d\n", 1234);
    std::fputs("two\nlines\r", f);
    std::fclose(f);
    EXPECT_EQ(ReadFile(dir / "a.txt"), "1234\r\ntwo\r\nlines\r");

    f = TextOpen((dir / "a.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char buf[64];
    std::string all;
    while (std::fgets(buf, sizeof buf, f) != nullptr) {
        all += buf;
    }
    std::fclose(f);
    EXPECT_EQ(all, "1234\ntwo\nlines\r");  // a lone CR stays
}

TEST(TextFile, CrLfSplitAcrossReadsIsOneLineEnd) {
    testutil::TempDir dir;
    // Long enough that the stream's buffer ends between CR and LF somewhere.
    std::string disk, expect;
    for (int i = 0; i < 3000; ++i) {
        std::string line(i % 7, 'x');
        disk += line + "\r\n";
        expect += line + "\n";
    }
    testutil::WriteFile(dir / "b.txt", disk);
    FILE *f = TextOpen((dir / "b.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string all;
    for (int c; (c = std::fgetc(f)) != EOF;) {
        all += static_cast<char>(c);
    }
    std::fclose(f);
    EXPECT_EQ(all, expect);
}

TEST(TextFile, WindowsPathsAreMapped) {
    testutil::TempDir dir;
    // The directory written as in the settings: backslashes, and a drive
    // when the platform's path has none.
    std::string windows = dir.path() + "\\mapped.txt";
    for (char &c : windows) {
        c = c == '/' ? '\\' : c;
    }
    if (windows.size() < 2 || windows[1] != ':') {
        windows = "c:" + windows;
    }
    FILE *f = TextOpen(windows.c_str(), "a");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_TRUE(std::filesystem::exists(dir / "mapped.txt"));
}

TEST(TextFile, GatheredWriteIsOneLineWithCrLf) {
    testutil::TempDir dir;
    int fd = TextOpenAppend((dir / "log").c_str(), true);
    ASSERT_GE(fd, 0);
    const TextPiece pieces[] = {
        {"May 05 07:03:09", 15}, {" ", 1}, {"host", 4}, {" ", 1}, {"text", 4}, {"\n", 1}};
    EXPECT_EQ(TextWritePieces(fd, pieces, 6), 26);
    EXPECT_EQ(TextWritePieces(fd, pieces, 6), 26);  // appended
    TextClose(fd);
    EXPECT_EQ(ReadFile(dir / "log"), "May 05 07:03:09 host text\r\nMay 05 07:03:09 host text\r\n");
}

TEST(TextFile, LargePiecesAreWrittenWhole) {
    testutil::TempDir dir;
    int fd = TextOpenAppend((dir / "log").c_str(), true);
    ASSERT_GE(fd, 0);
    std::string big(5000, 'y');
    big[2500] = '\n';
    const TextPiece pieces[] = {{big.data(), big.size()}, {"\n", 1}};
    EXPECT_EQ(TextWritePieces(fd, pieces, 2), 5001);
    TextClose(fd);
    std::string expect = big.substr(0, 2500) + "\r\n" + big.substr(2501) + "\r\n";
    EXPECT_EQ(ReadFile(dir / "log"), expect);
}

TEST(TextFile, FailuresSetErrno) {
    testutil::TempDir dir;
    errno = 0;
    EXPECT_EQ(TextOpenAppend((dir / "absent").c_str(), false), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(TextOpen((dir / "absent").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    const TextPiece piece = {"x\n", 2};
    errno = 0;
    EXPECT_EQ(TextWritePieces(-1, &piece, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
