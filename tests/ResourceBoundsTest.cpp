// Resource bounds: a state file of hundreds of megabytes (or one that never
// ends) reads as absent without the memory to hold it and with one warning,
// and a long run of the daemon loop keeps its descriptors and memory flat.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <thread>

#include "Core/JSONFile.hpp"
#include "Core/StateDir.hpp"
#include "Daemon/DaemonLoop.hpp"
#include "FakeWorld.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

constexpr std::uintmax_t hugeBytes = 512u * 1024u * 1024u;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool underAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool underAddressSanitizer = true;
#else
constexpr bool underAddressSanitizer = false;
#endif
#else
constexpr bool underAddressSanitizer = false;
#endif

// A kilobyte figure of /proc/<pid>/status ("VmRSS", "VmHWM"); -1 when unknown.
long statusKilobytes(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    DIR* directory = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(directory)) count += entry->d_name[0] != '.';
    ::closedir(directory);
    return count - 1;  // the listing's own descriptor
}

// A sparse file of the given size: it takes no disk space, but reading it whole would take its size in memory.
void makeSparse(const std::string& path, std::uintmax_t size, const std::string& head = "{") {
    test::writeFile(path, head);
    std::filesystem::resize_file(path, size);
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

class ResourceBounds : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    void SetUp() override { state.ensureDirectories(); }
};

TEST_F(ResourceBounds, HugeStateFilesReadAsAbsentWithoutTheMemoryToHoldThem) {
    makeSparse(state.pausePath(), hugeBytes);
    makeSparse(state.lastThawPath(), hugeBytes);
    makeSparse(state.configPath(), hugeBytes);
    makeSparse(state.recordPath("huge"), hugeBytes);
    test::writeFile(state.recordPath("small"), R"({"session_id": "small", "pid": 7})");

    const long peakBefore = statusKilobytes(::getpid(), "VmHWM");
    std::vector<std::pair<std::string, std::string>> told;
    auto hook = [&](const std::string& path, const std::string& why) { told.emplace_back(path, why); };
    EXPECT_FALSE(state.readPause(hook));
    EXPECT_FALSE(state.readLastThaw(hook));
    EXPECT_TRUE(state.readConfig(hook).document().empty());
    auto records = state.readRecords(hook);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].sessionID, "small");
    const long peakAfter = statusKilobytes(::getpid(), "VmHWM");
    std::cout << "[ figures  ] peak RSS " << peakBefore << " kB before reading four 512 MiB files, " << peakAfter
              << " kB after\n";
    EXPECT_LT(peakAfter - peakBefore, 32 * 1024);

    ASSERT_EQ(told.size(), 4u);
    for (const auto& [path, why] : told) {
        EXPECT_EQ(why, "is " + std::to_string(hugeBytes) + " bytes, more than the 16777216 a state document may have")
            << path;
    }
    EXPECT_EQ(told[3].first, state.recordPath("huge"));

    // Just at the limit is still a document; one byte more is not.
    std::string padded = "{}" + std::string(JSONFile::maxDocumentBytes - 3, ' ') + "\n";
    test::writeFile(state.lastThawPath(), padded);
    EXPECT_TRUE(state.readLastThaw());
    test::writeFile(state.lastThawPath(), padded + " ");
    EXPECT_FALSE(state.readLastThaw());
}

TEST_F(ResourceBounds, FilesThatAreNoRegularFilesReadAsAbsentAtOnce) {
    // Before, a FIFO held the reader in open() until some writer came along, and with it the daemon's
    // whole loop; a device would be read until the size limit.
    ASSERT_EQ(::mkfifo(state.pausePath().c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", state.recordPath("zero"));
    std::filesystem::create_symlink("/dev/zero", state.lastThawPath());
    auto reading =
        std::async(std::launch::async, [&] { return std::make_pair(state.readPause(), state.readRecords()); });
    if (reading.wait_for(10s) != std::future_status::ready) {
        // Let the blocked reader go before failing.
        int fd = ::open(state.pausePath().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        reading.wait();
        if (fd >= 0) ::close(fd);
        FAIL() << "reading a FIFO as pause.json did not return";
    }
    auto [pause, records] = reading.get();
    EXPECT_FALSE(pause);
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(state.readLastThaw());
}

// A counting stand-in for the signaller: unlike a recorder it keeps nothing per call.
class CountingSignaller : public Signaller {
public:
    std::size_t stops = 0;
    std::size_t conts = 0;
    bool stop(std::int64_t) override {
        ++stops;
        return true;
    }
    bool cont(std::int64_t) override {
        ++conts;
        return true;
    }
};

Proc claudeRow(std::int64_t pid) {
    return test::processRow(pid, 1, "claude --resume", test::defaultStart, RunState::sleeping, std::nullopt);
}

class LongRun : public ResourceBounds {
protected:
    test::FakeWorld fake{1'796'690'000};
    double& now = fake.now;
    std::shared_ptr<CountingSignaller> signaller = std::make_shared<CountingSignaller>();

    std::unique_ptr<DaemonLoop> makeLoop(std::int64_t maxLogBytes) {
        auto logger = DaemonLogger::create(state.logPath(), DaemonLogLevel::debug, false, maxLogBytes);
        TrackerConfig config;
        config.notify = NotifyMode::off;
        config.maxFreeze = 50;
        fake.rows = {claudeRow(101), claudeRow(102), claudeRow(103)};
        DaemonWorld world = fake.make(signaller);
        world.exit = [](int) { ADD_FAILURE() << "the loop asked to exit"; };
        return std::make_unique<DaemonLoop>(state, config, logger, DaemonLoop::Options{false, {}, {"notify"}},
                                            std::move(world));
    }
    // Every session refreshes its record; the five-hour window moves on every 400 s.
    void refreshRecords() {
        const double windowEnd = (std::floor(now / 400) + 1) * 400;
        for (std::int64_t pid : {101, 102, 103}) {
            Record record;
            record.sessionID = "session-" + std::to_string(pid);
            record.pid = pid;
            record.ts = now;
            record.pidStart = "Tue Dec  8 01:16:34 2026";
            record.shape = Shape::a;
            record.rateLimits =
                JSONObject{{"five_hour", JSONObject{{"used_percentage", 95}, {"resets_at", windowEnd}}}};
            state.write(record, false);
        }
    }
};

// 10,000 ticks through the hooks, with freezes and thaws, live configuration
// changes, an oversized record and log rotation on the way: the same
// descriptors at the end as after the first ticks, and memory within a
// generous bound of where it was.
TEST_F(LongRun, TenThousandTicksKeepDescriptorsAndMemoryFlat) {
    makeSparse(state.recordPath("oversized"), hugeBytes);
    auto loop = makeLoop(256 * 1024);
    auto tickOnce = [&](int k) {
        if (k % 10 == 0) refreshRecords();
        if (k % 1000 == 500) test::writeFile(state.configPath(), k % 2000 == 500 ? R"({"threshold": 91})" : "{}");
        loop->tick();
        now += 1;
    };
    for (int k = 0; k < 200; ++k) tickOnce(k);
    const std::size_t descriptorsBefore = openDescriptors();
    const long rssBefore = statusKilobytes(::getpid(), "VmRSS");
    const std::size_t stopsBefore = signaller->stops;
    auto started = std::chrono::steady_clock::now();
    for (int k = 200; k < 10'200; ++k) tickOnce(k);
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::size_t descriptorsAfter = openDescriptors();
    const long rssAfter = statusKilobytes(::getpid(), "VmRSS");

    std::cout << "[ figures  ] 10000 ticks in " << seconds << " s; descriptors " << descriptorsBefore << " -> "
              << descriptorsAfter << "; RSS " << rssBefore << " kB -> " << rssAfter << " kB; "
              << (signaller->stops - stopsBefore) << " stops, " << signaller->conts << " continues\n";
    EXPECT_EQ(descriptorsAfter, descriptorsBefore);
    // AddressSanitizer holds freed memory back for a while (its quarantine), so the resident size grows
    // there by design; the bound is for the ordinary build.
    if (!underAddressSanitizer) {
        EXPECT_LT(rssAfter - rssBefore, 16 * 1024);
    }
    // The run did go through freezes and thaws, and the log was rotated.
    EXPECT_GT(signaller->stops - stopsBefore, 100u);
    EXPECT_GT(signaller->conts, 100u);
    EXPECT_TRUE(test::fileExists(state.logPath() + ".1"));
    // The oversized record was warned about once, not on every tick.
    std::string log = test::readFile(state.logPath()) + test::readFile(state.logPath() + ".1");
    EXPECT_LE(occurrences(log, "oversized.json is 536870912 bytes"), 1u);
}

TEST_F(LongRun, AnOversizedFileIsWarnedAboutOncePerSize) {
    auto loop = makeLoop(DaemonLogger::defaultMaxBytes);
    makeSparse(state.recordPath("big"), hugeBytes);
    makeSparse(state.pausePath(), hugeBytes + 1);
    for (int k = 0; k < 20; ++k) loop->tick();
    std::string log = test::readFile(state.logPath());
    const std::string recordWarning = "WARNING  [readState] " + state.recordPath("big") +
                                      " is 536870912 bytes, more than the 16777216 a state document may have - read "
                                      "as absent";
    EXPECT_EQ(occurrences(log, recordWarning), 1u) << log;
    EXPECT_EQ(occurrences(log, state.pausePath() + " is 536870913 bytes"), 1u) << log;
    EXPECT_EQ(signaller->stops, 0u);

    // A new size is worth a new warning; a file back within bounds is read again.
    std::filesystem::resize_file(state.recordPath("big"), hugeBytes * 2);
    for (int k = 0; k < 5; ++k) loop->tick();
    log = test::readFile(state.logPath());
    EXPECT_EQ(occurrences(log, state.recordPath("big") + " is 1073741824 bytes"), 1u) << log;
    std::filesystem::remove(state.pausePath());
    refreshRecords();
    loop->tick();
    EXPECT_TRUE(state.readPause());
    EXPECT_EQ(signaller->stops, 3u);
}

// The real daemon (dry run: it signals nothing) beside files of 512 MiB: one
// warning each, and its peak memory stays small.
TEST_F(ResourceBounds, TheDaemonBesideHugeFilesWarnsOnceAndStaysSmall) {
    makeSparse(state.recordPath("huge"), hugeBytes);
    makeSparse(state.configPath(), hugeBytes);
    test::SpawnOptions options;
    options.stderrPath = dir.file("daemon.stderr");
    test::ChildProcess daemon({test::builtProgram("tarnel-vovivida"), "--state-dir", state.root(), "--dry-run",
                               "--notify", "off", "--poll", "0.1", "--log-level", "debug"},
                              options);
    // Six ticks or more, every one of them beside both files.
    ASSERT_TRUE(test::waitUntil([&] { return occurrences(test::readFile(state.logPath()), "[tick]") > 5; }));
    const long peak = statusKilobytes(daemon.pid(), "VmHWM");
    ::kill(daemon.pid(), SIGTERM);
    auto status = daemon.wait(15s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    std::string log = test::readFile(state.logPath());
    std::cout << "[ figures  ] daemon beside two 512 MiB files: peak RSS " << peak << " kB\n";
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 64 * 1024);
    EXPECT_EQ(occurrences(log, state.recordPath("huge") + " is 536870912 bytes"), 1u) << log;
    EXPECT_EQ(occurrences(log, state.configPath() + " is 536870912 bytes"), 1u) << log;
    EXPECT_GT(occurrences(log, "[tick]"), 5u) << log;
}

}  // namespace
}  // namespace tracker
