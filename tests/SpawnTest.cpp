#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "Core/Spawn.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::readFile;
using test::TempDir;

// Points descriptor 2 at a file for as long as it lives.
class StderrToFile {
public:
    explicit StderrToFile(const std::string& path) {
        saved_ = ::dup(2);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrToFile() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }

private:
    int saved_;
};

// Blocks SIGTERM and SIGUSR1 in this thread and ignores SIGHUP and SIGINT,
// the way the daemon's threads run, until it goes away.
class BusySignalState {
public:
    BusySignalState() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set, &savedMask_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGHUP, &ignore, &savedHup_);
        sigaction(SIGINT, &ignore, &savedInt_);
    }
    ~BusySignalState() {
        sigaction(SIGHUP, &savedHup_, nullptr);
        sigaction(SIGINT, &savedInt_, nullptr);
        pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    }

private:
    sigset_t savedMask_;
    struct sigaction savedHup_ {};
    struct sigaction savedInt_ {};
};

TEST(SpawnCapture, ReturnsStandardOutput) {
    EXPECT_EQ(Spawn::capture({"/bin/echo", "hello"}), "hello\n");
    // The path is argv[0] as well.
    EXPECT_EQ(Spawn::capture({"/bin/sh", "-c", "echo \"$0\""}), "/bin/sh\n");
}

TEST(SpawnCapture, FailuresGiveEmptyText) {
    EXPECT_EQ(Spawn::capture({}), "");
    EXPECT_EQ(Spawn::capture({"/nonexistent/program"}), "");
    // No search of PATH.
    EXPECT_EQ(Spawn::capture({"echo", "hi"}), "");
}

TEST(SpawnCapture, DiscardsStandardError) {
    TempDir dir;
    std::string out;
    {
        StderrToFile redirect(dir.file("stderr"));
        out = Spawn::capture({"/bin/sh", "-c", "echo oops >&2"});
    }
    EXPECT_EQ(out, "");
    EXPECT_EQ(readFile(dir.file("stderr")), "");
}

TEST(SpawnCapture, ReplacesInvalidUTF8) {
    EXPECT_EQ(Spawn::capture({"/usr/bin/printf", "a\\377b\\303"}),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD");
    EXPECT_EQ(Spawn::capture({"/usr/bin/printf", "gr\\303\\274n"}), "gr\xC3\xBCn");
}

TEST(SpawnCapture, ReadsOutputLargerThanAPipe) {
    std::string out = Spawn::capture({"/usr/bin/head", "-c", "1000000", "/dev/zero"});
    EXPECT_EQ(out.size(), 1000000u);
    EXPECT_EQ(out.find_first_not_of('\0'), std::string::npos);
}

// The child sees 0, 1, 2 and the descriptor ls itself opens on the
// directory: none of our pipe ends, not even a descriptor some careless code
// of ours left inheritable.
TEST(SpawnChild, InheritsNoDescriptorsBeyondTheStandardOnes) {
    int careless = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(careless, 3);
    std::string listed = Spawn::capture({"/bin/ls", "/proc/self/fd"});
    ::close(careless);
    EXPECT_EQ(listed, "0\n1\n2\n3\n");

    TempDir dir;
    auto status = Spawn::shell("exec /bin/ls /proc/self/fd > " + dir.file("fds"), "some input");
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir.file("fds")), "0\n1\n2\n3\n");
}

// The C library keeps its two internal signals (32 and 33) ignored in every
// child it spawns; every other signal must be blocked nowhere and ignored
// nowhere, whatever the calling thread does.
TEST(SpawnChild, StartsWithEmptyMaskAndDefaultDispositions) {
    BusySignalState busy;
    std::string status = Spawn::capture({"/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"});
    ASSERT_EQ(status.size(), 50u) << status;
    EXPECT_EQ(status.substr(0, 25), "SigBlk:\t0000000000000000\n");
    ASSERT_EQ(status.substr(25, 8), "SigIgn:\t");
    unsigned long long ignored = std::stoull(status.substr(33, 16), nullptr, 16);
    const unsigned long long libraryInternal = 0x180000000ull;
    EXPECT_EQ(ignored & ~libraryInternal, 0u) << status;
}

TEST(SpawnChild, DiesOfAPlainTerminationSignal) {
    BusySignalState busy;
    auto status = Spawn::shell("kill -TERM $$; sleep 5", "");
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGTERM);
}

TEST(SpawnShell, FeedsInputToTheCommand) {
    TempDir dir;
    using std::string_literals::operator""s;
    std::string bytes = "line one\nline two\0binary\xFF"s;
    auto status = Spawn::shell("cat > " + dir.file("out"), bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir.file("out")), bytes);
}

TEST(SpawnShell, FeedsInputLargerThanAPipe) {
    TempDir dir;
    std::string bytes(3'000'000, 'x');
    for (std::size_t k = 0; k < bytes.size(); k += 4093) bytes[k] = static_cast<char>('a' + k % 26);
    auto status = Spawn::shell("cat > " + dir.file("out"), bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir.file("out")), bytes);
}

// A child that writes a lot before it reads: with the input written on the
// calling thread both sides would block on full pipes.
TEST(SpawnShell, NoDeadlockWhenTheChildWritesBeforeReading) {
    TempDir dir;
    std::string bytes(1'000'000, 'y');
    auto status = Spawn::shell(
        "head -c 1000000 /dev/zero > /dev/null; head -c 300000 /dev/zero | cat > /dev/null; cat > " + dir.file("out"),
        bytes);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir.file("out")).size(), bytes.size());
}

// The child never reads: the writer must give up quietly instead of killing
// this process with SIGPIPE (the test process does not ignore it).
TEST(SpawnShell, CommandIgnoringLargeInputReturns) {
    ASSERT_NE(signal(SIGPIPE, SIG_DFL), SIG_ERR);
    auto threads = [] {
        std::string status = readFile("/proc/self/status");
        auto at = status.find("\nThreads:");
        return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 9);
    };
    const int before = threads();
    for (int round = 0; round < 5; ++round) {
        auto status = Spawn::shell("exit 0", std::string(4'000'000, 'z'));
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 0);
    }
    // The writers, on threads of their own, hit the closed pipe while we are still here, and end.
    EXPECT_TRUE(test::waitUntil([&] { return threads() <= before; }));
}

TEST(SpawnShell, EmptyInputIsEndOfFileAtOnce) {
    TempDir dir;
    auto status = Spawn::shell("cat > " + dir.file("out") + "; echo done >> " + dir.file("out"), "");
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(readFile(dir.file("out")), "done\n");
}

TEST(SpawnShell, ReturnsTheRawWaitStatus) {
    EXPECT_EQ(Spawn::shell("exit 3", ""), 768);
    EXPECT_EQ(Spawn::shell("exit 0", "ignored"), 0);
    // The shell runs, the program is missing: its status, not none.
    EXPECT_EQ(Spawn::shell("/nonexistent/program 2>/dev/null", ""), 127 << 8);
}

}  // namespace
}  // namespace tracker
