#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Core/ProcessTable.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::ChildProcess;
using test::TempDir;
using test::waitUntil;

const ProcessStart started = test::startedAt(1'796'623'379);

// A process on no terminal unless one is given, in its foreground group when foreground.
Proc row(std::int64_t pid, std::int64_t ppid, std::string command, std::optional<std::uint64_t> terminal = std::nullopt,
         bool foreground = false) {
    Proc proc = test::processRow(pid, ppid, std::move(command), started, RunState::sleeping, terminal);
    proc.foreground = foreground;
    return proc;
}

constexpr std::uint64_t tty1 = test::ptsDevice(1);

TEST(ProcessTableQueries, LaterDuplicatesWin) {
    EXPECT_EQ(ProcessTable({row(1, 0, "a"), row(1, 0, "b")}).get(1)->command, "b");
}

TEST(ProcessTableQueries, ParentsAndShells) {
    ProcessTable table({row(1, 0, "/sbin/init"), row(100, 1, "-zsh", tty1), row(200, 100, "claude", tty1, true),
                        row(300, -4, "orphan"), row(400, 999, "parent missing"),
                        row(500, 200, "node /opt/claude-code/cli.js")});
    EXPECT_FALSE(table.get(std::nullopt));
    EXPECT_FALSE(table.isAlive(std::nullopt));
    EXPECT_FALSE(table.isAlive(2));
    EXPECT_TRUE(table.isAlive(200));
    EXPECT_EQ(table.parent(200)->pid, 100);
    EXPECT_FALSE(table.parent(1));
    EXPECT_FALSE(table.parent(300));
    EXPECT_FALSE(table.parent(400));
    EXPECT_FALSE(table.parent(12345));
    EXPECT_EQ(table.parentShellPID(200), 100);
    EXPECT_EQ(table.parentShellPID(500), std::nullopt);
    std::vector<std::int64_t> claudes;
    for (const auto& proc : table.claudes()) claudes.push_back(proc.pid);
    EXPECT_EQ(claudes, (std::vector<std::int64_t>{200, 500}));
}

TEST(ProcessTableQueries, ClassifyShape) {
    ProcessTable table({
        row(10, 0, "-zsh", tty1), row(11, 10, "claude", tty1, true),        // foreground job of a shell
        row(12, 10, "claude", tty1),                                        // background job
        row(13, 10, "claude"),                                              // no terminal under a shell
        row(20, 0, "tmux: server"), row(21, 20, "claude", tty1 + 3, true),  // directly under tmux
        row(22, 20, "claude"), row(30, 0, "python3 runner.py", tty1 + 4),
        row(31, 30, "claude", tty1 + 4, true),  // terminal, but not a shell above
        row(40, 0, "claude"),                   // no parent row
    });
    EXPECT_EQ(table.classifyShape(11), Shape::b);
    EXPECT_EQ(table.classifyShape(12), Shape::unknown);
    EXPECT_EQ(table.classifyShape(13), Shape::a);
    EXPECT_EQ(table.classifyShape(21), Shape::c);
    EXPECT_EQ(table.classifyShape(22), Shape::c);
    EXPECT_EQ(table.classifyShape(31), Shape::unknown);
    EXPECT_EQ(table.classifyShape(40), Shape::a);
    EXPECT_EQ(table.classifyShape(99), Shape::unknown);
}

TEST(ProcessTableQueries, FindClaudeWalksUpWithinTheHops) {
    ProcessTable table({row(1, 0, "/sbin/init"), row(50, 1, "claude --resume"), row(60, 50, "/bin/sh -c tee"),
                        row(70, 60, "tarnel-tee"), row(80, 80, "loops onto itself"), row(90, 1234, "no parent row")});
    EXPECT_EQ(table.findClaude(70, 3)->pid, 50);
    EXPECT_FALSE(table.findClaude(70, 2));
    EXPECT_FALSE(table.findClaude(70, 0));
    EXPECT_FALSE(table.findClaude(70, -1));
    // One hop inspects only the starting row.
    EXPECT_EQ(table.findClaude(50, 1)->pid, 50);
    EXPECT_FALSE(table.findClaude(60, 1));
    EXPECT_FALSE(table.findClaude(80, 8));
    EXPECT_FALSE(table.findClaude(90, 8));
    EXPECT_FALSE(table.findClaude(1, 8));
    EXPECT_FALSE(table.findClaude(4242, 8));
}

TEST(ProcessTableQueries, IdentityByStartTime) {
    Proc synthetic;
    synthetic.pid = 9;
    synthetic.command = "claude";
    ProcessTable table({row(5, 1, "claude"), row(6, 1, "vim"), synthetic});
    const std::string text = started.text();
    EXPECT_EQ(text.size(), 24u);
    EXPECT_TRUE(table.isSameProcess(5, text));
    EXPECT_TRUE(table.isSameProcess(5, "  " + text + "\t"));
    EXPECT_FALSE(table.isSameProcess(5, test::startedAt(*started.seconds + 1).text()));
    EXPECT_FALSE(table.isSameProcess(5, ""));
    EXPECT_FALSE(table.isSameProcess(7, text));
    // A blank start time must not match a row whose start time is unknown.
    EXPECT_FALSE(table.isSameProcess(9, " "));
    EXPECT_FALSE(table.isClaudePID(9, " "));
    EXPECT_TRUE(table.isClaudePID(5, text));
    EXPECT_FALSE(table.isClaudePID(6, text));
}

// A program named claude: a link to the test's sleeper.
struct FakeClaude {
    TempDir dir;
    std::string path = dir.file("claude");
    FakeClaude() { std::filesystem::create_symlink(test::supportProgram("proc_subject"), path); }
};

// The child of pid that runs program (not a fork that has yet to exec it).
std::int64_t childRunning(std::int64_t pid, const std::string& program) {
    std::int64_t found = 0;
    waitUntil([&] {
        for (auto child : test::childrenOf(pid)) {
            auto rows = ProcessTable::fromSystem({child});
            if (rows.get(child) && rows.get(child)->command.rfind(program + " ", 0) == 0) found = child;
        }
        return found != 0;
    });
    return found;
}

TEST(ProcessTableSystem, SnapshotsOfTheRunningSystem) {
    auto all = ProcessTable::fromSystem();
    EXPECT_TRUE(all.isAlive(getpid()));
    EXPECT_TRUE(all.isAlive(1));
    auto own = ProcessTable::fromSystem({getpid()});
    ASSERT_EQ(own.byPID.size(), 1u);
    EXPECT_EQ(own.get(getpid())->start.text().size(), 24u);
    EXPECT_FALSE(own.get(getpid())->start.id.empty());
    EXPECT_EQ(own.get(getpid())->start.id.find_first_of(" \n"), std::string::npos) << own.get(getpid())->start.id;
    EXPECT_EQ(own.get(getpid())->start, all.get(getpid())->start);
    EXPECT_TRUE(ProcessTable::fromSystem({999'999'999}).byPID.empty());
}

TEST(ProcessTableSystem, ForClaudeAddsTheParentFromTheKernel) {
    FakeClaude claude;
    ChildProcess shell({"/bin/sh", "-c", test::shellQuote(claude.path) + " --lifetime-s 60; :"});
    std::int64_t pid = childRunning(shell.pid(), claude.path);
    ASSERT_GT(pid, 0);

    auto table = ProcessTable::forClaude({pid, *ProcessAncestry::commandLine(pid)});
    ASSERT_EQ(table.byPID.size(), 2u);
    // The row a full read gives, but for the owner, which the tee does not read.
    Proc claudeRow = *table.get(pid);
    EXPECT_EQ(claudeRow.uid, -1);
    claudeRow.uid = static_cast<std::int64_t>(::getuid());
    EXPECT_EQ(claudeRow, ProcessTable::fromSystem({pid}).get(pid));
    Proc parent = *table.get(shell.pid());
    EXPECT_EQ(parent.ppid, 0);
    EXPECT_EQ(parent.state, RunState::unknown);
    EXPECT_FALSE(parent.start.known());
    EXPECT_EQ(parent.command, "/bin/sh -c " + test::shellQuote(claude.path) + " --lifetime-s 60; :");
    EXPECT_EQ(table.parentShellPID(pid), shell.pid());
    EXPECT_EQ(table.classifyShape(pid), Shape::a);
    EXPECT_EQ(table.findClaude(pid, maxAncestorHops)->pid, pid);
    // Walks end at the parent row.
    EXPECT_FALSE(table.parent(shell.pid()));
    // A process gone, or a blank command, gives no row and no parent.
    EXPECT_TRUE(ProcessTable::forClaude({999'999'999, "claude"}).byPID.empty());
    EXPECT_TRUE(ProcessTable::forClaude({pid, " "}).byPID.empty());
}

// The shapes of real sessions: a foreground and a background job of an
// interactive shell in a terminal, and a process run by tmux directly.
TEST(ProcessTableSystem, ShapesOfRealSessions) {
    FakeClaude claude;
    test::TmuxServer tmux;
    std::int64_t shell = tmux.newSession("shell", "bash --norc --noprofile -i");
    ASSERT_GT(shell, 0);
    std::int64_t direct = tmux.newSession("direct", test::shellQuote(claude.path) + " --lifetime-s 60");
    ASSERT_GT(direct, 0);

    tmux.sendKeys("shell", test::shellQuote(claude.path) + " --lifetime-s 60 &");
    std::int64_t background = childRunning(shell, claude.path);
    ASSERT_GT(background, 0);
    tmux.sendKeys("shell", test::shellQuote(claude.path) + " --lifetime-s 60");
    // The tee's snapshot of a process, after its walk has read the command line.
    auto forClaude = [](std::int64_t pid) {
        return ProcessTable::forClaude({pid, ProcessAncestry::commandLine(pid).value_or("")});
    };
    std::int64_t foreground = 0;
    ASSERT_TRUE(waitUntil([&] {
        for (auto child : test::childrenOf(shell)) {
            if (child == background) continue;
            auto table = forClaude(child);
            if (table.get(child) && table.get(child)->command.rfind(claude.path + " ", 0) == 0 &&
                table.get(child)->foreground) {
                foreground = child;
            }
        }
        return foreground != 0;
    }));

    auto atForeground = forClaude(foreground);
    EXPECT_EQ(atForeground.classifyShape(foreground), Shape::b);
    EXPECT_EQ(atForeground.parentShellPID(foreground), shell);
    EXPECT_EQ(forClaude(background).classifyShape(background), Shape::unknown);
    EXPECT_EQ(forClaude(direct).classifyShape(direct), Shape::c);
    // The full snapshot agrees with the tee's small one.
    auto all = ProcessTable::fromSystem();
    EXPECT_EQ(all.classifyShape(foreground), Shape::b);
    EXPECT_EQ(all.classifyShape(background), Shape::unknown);
    EXPECT_EQ(all.classifyShape(direct), Shape::c);
}

}  // namespace
}  // namespace tracker
