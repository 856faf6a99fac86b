#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "Daemon/DaemonLog.hpp"
#include "TestSupport.hpp"

using tracker::DaemonLogger;
using tracker::DaemonLogLevel;
namespace Levels = tracker::DaemonLogLevels;
using tracker::test::fileExists;
using tracker::test::readFile;
using tracker::test::TempDir;
using tracker::test::writeFile;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The message part of a line: everything after stamp, label column and separators.
std::string messageOf(const std::string& line) {
    return line.substr(23 + 1 + 8 + 1);
}
std::string labelColumnOf(const std::string& line) {
    return line.substr(24, 8);
}

// A message whose whole line is exactly `bytes` long (stamp 23 + 1 + 8 + 1 + text + newline).
std::string messageForLineOf(std::size_t bytes, char fill) {
    return std::string(bytes - 34, fill);
}

}  // namespace

TEST(DaemonLogLevel, NamesValuesAndParsing) {
    EXPECT_EQ(Levels::allNames(),
              (std::vector<std::string>{"verbose", "debug", "info", "warning", "error", "critical"}));
    for (const auto& name : Levels::allNames()) {
        auto level = Levels::fromName(name);
        ASSERT_TRUE(level) << name;
        EXPECT_EQ(Levels::name(*level), name);
    }

    EXPECT_EQ(Levels::fromName("WARN"), DaemonLogLevel::warning);
    EXPECT_EQ(Levels::fromName("Warn"), DaemonLogLevel::warning);
    EXPECT_EQ(Levels::fromName("FaTaL"), DaemonLogLevel::critical);
    EXPECT_EQ(Levels::fromName("DEBUG"), DaemonLogLevel::debug);
    EXPECT_EQ(Levels::fromName("Critical"), DaemonLogLevel::critical);
    for (const char* bad : {"", "warnings", " info", "info ", "err", "trace", "2"}) {
        EXPECT_FALSE(Levels::fromName(bad)) << bad;
    }
    EXPECT_LT(DaemonLogLevel::verbose, DaemonLogLevel::debug);
    EXPECT_LT(DaemonLogLevel::error, DaemonLogLevel::critical);
}

TEST(DaemonLogger, LineFormatAndLabelColumn) {
    TempDir dir;
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::verbose, false);
    log->info("[run] hello");
    log->critical("[run] bye");
    log->verbose(std::string("[tick] v"));

    auto got = lines(readFile(dir.file("daemon.log")));
    ASSERT_EQ(got.size(), 3u);
    const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )");
    for (const auto& line : got) EXPECT_TRUE(std::regex_search(line, stamp)) << line;
    EXPECT_EQ(got[0].substr(23), " INFO     [run] hello");
    EXPECT_EQ(got[1].substr(23), " CRITICAL [run] bye");
    EXPECT_EQ(got[2].substr(23), " VERBOSE  [tick] v");
    EXPECT_EQ(readFile(dir.file("daemon.log")).back(), '\n');
}

TEST(DaemonLogger, ValuesCannotEndTheLineOrStartAnother) {
    for (const auto& [message, shown] : std::vector<std::pair<std::string, std::string>>{
             {"notify=x\nssh-ed25519 AAAA evil", "notify=x\\nssh-ed25519 AAAA evil"},
             {"a\rb\tc\x1b[2Jd\x7f", "a\\rb\\tc\\x1b[2Jd\\x7f"},
             {"c1 \xc2\x9b"
              "31m and \xc3\xa9 stay",
              "c1 \\u009b31m and \xc3\xa9 stay"},
         }) {
        EXPECT_EQ(DaemonLogger::escaped(message), shown);
        const std::string line = DaemonLogger::formatLine(DaemonLogLevel::info, message);
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
}

TEST(DaemonLogger, FilteredMessagesAreNeverBuilt) {
    TempDir dir;
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::warning, false);
    int built = 0;
    auto counted = [&built](std::string text) {
        return [&built, text] {
            ++built;
            return text;
        };
    };
    log->verbose(counted("v"));
    log->debug(counted("d"));
    log->info(counted("i"));
    EXPECT_EQ(built, 0);
    log->warning(counted("w"));
    log->error(counted("e"));
    log->critical(counted("c"));
    EXPECT_EQ(built, 3);

    auto got = lines(readFile(dir.file("daemon.log")));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(labelColumnOf(got[0]), "WARNING ");
    EXPECT_EQ(labelColumnOf(got[1]), "ERROR   ");
    EXPECT_EQ(labelColumnOf(got[2]), "CRITICAL");
    EXPECT_EQ(messageOf(got[2]), "c");
}

TEST(DaemonLogger, RotatesBeforeTheWriteThatFindsTheFileFull) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    writeFile(path + ".1", "an older generation\n");
    auto log = DaemonLogger::create(path, DaemonLogLevel::info, false, 100);
    log->info(messageForLineOf(60, 'a'));
    log->info(messageForLineOf(60, 'b'));
    EXPECT_EQ(readFile(path).size(), 120u);  // may pass maxBytes by one line
    EXPECT_EQ(readFile(path + ".1"), "an older generation\n");
    log->info(messageForLineOf(60, 'c'));

    auto current = lines(readFile(path));
    auto rotated = lines(readFile(path + ".1"));
    ASSERT_EQ(current.size(), 1u);
    ASSERT_EQ(rotated.size(), 2u);
    EXPECT_EQ(messageOf(current[0]), messageForLineOf(60, 'c'));
    EXPECT_EQ(messageOf(rotated[0]), messageForLineOf(60, 'a'));
    EXPECT_EQ(messageOf(rotated[1]), messageForLineOf(60, 'b'));
}

TEST(DaemonLogger, ByteBoundaryIsCountedNotRemeasured) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    // 99 bytes stay below 100; the next line goes to the same file, the one after rotates.
    auto log = DaemonLogger::create(path, DaemonLogLevel::info, false, 100);
    log->info(messageForLineOf(99, 'a'));
    log->info(messageForLineOf(40, 'b'));
    EXPECT_FALSE(fileExists(path + ".1"));
    EXPECT_EQ(readFile(path).size(), 139u);
    // Someone else shrinking the file is not noticed: the count decides.
    writeFile(path, "");
    log->info(messageForLineOf(40, 'c'));
    EXPECT_TRUE(fileExists(path + ".1"));
    EXPECT_EQ(lines(readFile(path)).size(), 1u);
}

TEST(DaemonLogger, ExistingOversizedFileRotatesBeforeTheFirstLine) {
    TempDir dir;
    const std::string path = dir.file("sub/dir/daemon.log");  // missing parents are created
    auto first = DaemonLogger::create(path, DaemonLogLevel::info, false, 0);
    first->info(messageForLineOf(200, 'x'));  // maxBytes 0: never rotates
    first->info(messageForLineOf(200, 'y'));
    EXPECT_FALSE(fileExists(path + ".1"));
    first.reset();

    auto second = DaemonLogger::create(path, DaemonLogLevel::info, false, 100);
    second->info("fresh");
    EXPECT_EQ(lines(readFile(path + ".1")).size(), 2u);
    auto current = lines(readFile(path));
    ASSERT_EQ(current.size(), 1u);
    EXPECT_EQ(messageOf(current[0]), "fresh");
}

TEST(DaemonLogger, NoPathWritesOnlyToStandardError) {
    TempDir dir;
    testing::internal::CaptureStderr();
    {
        auto log = DaemonLogger::create(std::nullopt, DaemonLogLevel::info, true, 10);
        log->info("one to the console");
        log->info("two to the console");
        EXPECT_FALSE(log->path());
        EXPECT_EQ(log->maxBytes(), 10);
    }
    auto got = lines(testing::internal::GetCapturedStderr());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(messageOf(got[1]), "two to the console");
}

TEST(DaemonLogger, UnopenableFileLeavesConsoleOutput) {
    TempDir dir;
    writeFile(dir.file("blocker"), "a file where a directory should be");
    testing::internal::CaptureStderr();
    {
        auto log = DaemonLogger::create(dir.file("blocker/daemon.log"), DaemonLogLevel::info, true);
        log->error("still shown");
    }
    auto got = lines(testing::internal::GetCapturedStderr());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(labelColumnOf(got[0]), "ERROR   ");
}

TEST(DaemonLogger, SinkPicksTheLevelFromTheLeadingWord) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    auto log = DaemonLogger::create(path, DaemonLogLevel::verbose, false);
    auto sink = log->sink();
    sink("error [thawTarget] pid 12 gone");
    sink("Error [x] capital");
    sink("errors are info");
    sink("critical [y] bad");
    sink("debug [prune] removed");
    sink("warning [DirectoryWatcher] cannot create /x, polling: nope");
    sink("verbose v");
    sink("info plain");
    sink("no prefix at all");

    auto got = lines(readFile(path));
    ASSERT_EQ(got.size(), 9u);
    const std::vector<std::pair<std::string, std::string>> want{
        {"ERROR   ", "[thawTarget] pid 12 gone"},
        {"INFO    ", "Error [x] capital"},
        {"INFO    ", "errors are info"},
        {"CRITICAL", "[y] bad"},
        {"DEBUG   ", "[prune] removed"},
        {"WARNING ", "[DirectoryWatcher] cannot create /x, polling: nope"},
        {"VERBOSE ", "v"},
        {"INFO    ", "plain"},
        {"INFO    ", "no prefix at all"},
    };
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(labelColumnOf(got[i]), want[i].first) << got[i];
        EXPECT_EQ(messageOf(got[i]), want[i].second) << got[i];
    }
}

TEST(DaemonLogger, SinkFiltersAndOutlivesItsLogger) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    auto log = DaemonLogger::create(path, DaemonLogLevel::info, false);
    auto sink = log->sink();
    sink("debug below the filter");
    sink("info kept");
    log.reset();
    sink("error after the logger is gone");  // must neither crash nor write
    auto got = lines(readFile(path));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(messageOf(got[0]), "kept");
}

TEST(DaemonLogger, LinesFromManyThreadsNeverInterleave) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    auto log = DaemonLogger::create(path, DaemonLogLevel::info, false, 20000);
    constexpr int threads = 4, perThread = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&log, t] {
            auto sink = log->sink();
            for (int i = 0; i < perThread; ++i) {
                if (i % 2)
                    sink("warning " + std::string(50, static_cast<char>('a' + t)));
                else
                    log->info(std::string(50, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& w : workers) w.join();
    auto all = lines(readFile(path + ".1"));
    auto current = lines(readFile(path));
    all.insert(all.end(), current.begin(), current.end());
    // Rotation keeps one previous generation, so earlier lines may be gone; none may be torn.
    EXPECT_FALSE(all.empty());
    const std::regex whole(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} (INFO    |WARNING ) ([a-d])\2{49}$)");
    for (const auto& line : all) EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

// Under systemd (JOURNAL_STREAM names standard error) each console line starts with its priority and carries no
// stamp of its own, so that journalctl -p filters it; the file keeps its stamps. A JOURNAL_STREAM that names
// another stream (standard error redirected to a file, say) leaves the console lines as they are.
TEST(DaemonLogger, ConsoleLinesForTheJournalCarryTheirPriorityAndNoStamp) {
    for (bool ours : {true, false}) {
        SCOPED_TRACE(ours ? "JOURNAL_STREAM names standard error" : "JOURNAL_STREAM names another stream");
        TempDir dir;
        const std::string path = dir.file("daemon.log");
        testing::internal::CaptureStderr();
        struct stat st {};
        ASSERT_EQ(::fstat(ours ? STDERR_FILENO : STDIN_FILENO, &st), 0);
        {
            tracker::test::ScopedEnv journal("JOURNAL_STREAM",
                                             std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino));
            EXPECT_EQ(DaemonLogger::standardErrorIsJournal(), ours);
            EXPECT_EQ(DaemonLogger::consolePrefix(DaemonLogLevel::error), ours ? "<3>" : "");
            auto log = DaemonLogger::create(path, DaemonLogLevel::verbose, true);
            log->verbose("v");
            log->debug("d");
            log->info("i");
            log->warning("w\nforged");
            log->error("e");
            log->critical("c");
        }
        auto console = lines(testing::internal::GetCapturedStderr());
        auto file = lines(readFile(path));
        ASSERT_EQ(console.size(), 6u);
        ASSERT_EQ(file.size(), 6u);
        if (ours) {
            EXPECT_EQ(console, (std::vector<std::string>{"<7>VERBOSE  v", "<7>DEBUG    d", "<6>INFO     i",
                                                         "<4>WARNING  w\\nforged", "<3>ERROR    e", "<2>CRITICAL c"}));
        } else {
            EXPECT_EQ(console, file);
        }
        EXPECT_EQ(messageOf(file[3]), "w\\nforged");
        EXPECT_EQ(labelColumnOf(file[5]), "CRITICAL");
    }
}

TEST(DaemonLogger, MalformedJournalStreamIsNotTheJournal) {
    struct stat st {};
    ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
    const std::string exact = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    for (const std::string& text : {std::string(), exact + "x", exact + ":1", std::to_string(st.st_dev), ":" + exact}) {
        tracker::test::ScopedEnv journal("JOURNAL_STREAM", text);
        EXPECT_FALSE(DaemonLogger::standardErrorIsJournal()) << text;
    }
}
