// Whole-file reads: the limit, failures as values, and the small shared formatting helpers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "Core/DaemonPIDFile.hpp"
#include "Core/FileRead.hpp"
#include "Core/NumberText.hpp"
#include "Core/PIDRange.hpp"
#include "Core/Records.hpp"
#include "Core/UTF8.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::TempDir;

struct LimitCase {
    std::size_t size;
    std::size_t limit;
    bool tooLarge;
};

class FileReadLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(FileReadLimit, KeepsAtMostTheLimitAndSaysWhenThereWasMore) {
    TempDir dir;
    const auto [size, limit, tooLarge] = GetParam();
    std::string bytes(size, 'x');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    test::writeFile(dir.file("f"), bytes);
    auto outcome = FileRead::file(dir.file("f"), limit);
    EXPECT_EQ(outcome.error, 0);
    EXPECT_EQ(outcome.tooLarge, tooLarge);
    EXPECT_EQ(outcome.bytes, bytes.substr(0, limit));
    EXPECT_EQ(outcome.complete(), !tooLarge);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileReadLimit,
                         ::testing::Values(LimitCase{0, 0, false}, LimitCase{0, 10, false}, LimitCase{10, 10, false},
                                           LimitCase{11, 10, true}, LimitCase{100000, 99999, true},
                                           LimitCase{100000, 100000, false}, LimitCase{5, 0, true},
                                           // Around the reads that fill the first page and the larger pieces after.
                                           LimitCase{4096, 10000, false}, LimitCase{4097, 10000, false},
                                           LimitCase{4096 + 16384 + 1, 100000, false}, LimitCase{300000, 300000, false},
                                           LimitCase{300000, 4096, true}));

TEST(FileRead, AKnownSizeEndsTheReadOnlyWhereTheFileEnds) {
    TempDir dir;
    test::writeFile(dir.file("f"), "abc");
    int fd = ::open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(FileRead::all(fd, 100, 3).bytes, "abc");
    // Grown since its size was taken: read to its real end.
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    test::writeFile(dir.file("f"), "abcdef");
    EXPECT_EQ(FileRead::all(fd, 100, 3).bytes, "abcdef");
    ::close(fd);
}

TEST(FileRead, FailuresAreValues) {
    TempDir dir;
    auto missing = FileRead::file(dir.file("none"), 100);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_FALSE(missing.complete());
    // A FIFO with no writer: O_NONBLOCK opens it and reads nothing instead of waiting.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    auto fifo = FileRead::file(dir.file("fifo"), 100, O_NONBLOCK);
    EXPECT_EQ(fifo.error, 0);
    EXPECT_EQ(fifo.bytes, "");
    auto directory = FileRead::file(dir.path(), 100);
    EXPECT_EQ(directory.error, EISDIR);
}

TEST(SharedForms, ClockNumbersPIDsAndSessionIDs) {
    for (double nonsense : {std::nan(""), double(INFINITY), -double(INFINITY), 1e300}) {
        EXPECT_EQ(NumberText::localHourMinute(nonsense), std::nullopt);
        EXPECT_EQ(NumberText::clockText(nonsense), "--:--");
    }
    EXPECT_EQ(NumberText::clockText(1'796'690'000).size(), 5u);
    EXPECT_EQ(NumberText::shortest(90.0), "90");
    EXPECT_EQ(NumberText::shortest(87.5), "87.5");
    EXPECT_EQ(NumberText::oneDecimal(90), "90.0");
    EXPECT_EQ(NumberText::whole(95.5), "96");

    EXPECT_FALSE(PIDRange::fits(0));
    EXPECT_TRUE(PIDRange::fits(1));
    EXPECT_FALSE(PIDRange::signallable(1));
    EXPECT_TRUE(PIDRange::signallable(PIDRange::largest));
    EXPECT_FALSE(PIDRange::fits(PIDRange::largest + 1));
    EXPECT_FALSE(PIDRange::signallable(-1));

    EXPECT_EQ(shortSessionID(""), "?");
    EXPECT_EQ(shortSessionID("abc"), "abc");
    EXPECT_EQ(shortSessionID("0123456789"), "01234567");
    // Never half a character: eight code points, however many bytes.
    EXPECT_EQ(shortSessionID("ääääääääää"),
              "ää"
              "ää"
              "ää"
              "ää");
    EXPECT_EQ(UTF8::firstCharacters("ab", 0), "");
}

TEST(DaemonPIDFile, RoundTripsAndReadsLeniently) {
    DaemonPIDFile written{4242, "Tue Dec  8 01:16:34 2026", 1796690000, {"tarnel-vovivida", "--once"}};
    EXPECT_EQ(DaemonPIDFile::fromJSON(JSON(written.toJSON())), written);
    EXPECT_EQ(DaemonPIDFile::fromJSON(JSON::parse(R"({"pid": "17", "argv": [1, "x"]})")),
              (DaemonPIDFile{17, "", std::nullopt, {"1", "x"}}));
    for (const char* bad : {R"([])", R"({"pid": 0})", R"({"pid": "x"})", R"({})", R"(7)"}) {
        EXPECT_EQ(DaemonPIDFile::fromJSON(JSON::parse(bad)), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace tracker
