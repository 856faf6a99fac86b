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

Proc row(std::int64_t pid, std::int64_t ppid, std::string command, std::string tty = "??", std::int64_t pgid = 0,
         std::int64_t tpgid = -1) {
    Proc proc;
    proc.pid = pid;
    proc.ppid = ppid;
    proc.pgid = pgid;
    proc.tpgid = tpgid;
    proc.stat = "S";
    proc.tty = std::move(tty);
    proc.lstart = "Mon Dec  7 06:02:59 2026";
    proc.command = std::move(command);
    return proc;
}

TEST(ProcessTableParsing, ReadsAllEightColumns) {
    auto table = ProcessTable::fromPSOutput(
        "  412     1   412   412 Ss   ttys001  Mon Dec  7 06:02:59 2026 /bin/zsh -l\n", true);
    ASSERT_EQ(table.byPID.size(), 1u);
    Proc expected{412, 1, 412, 412, "Ss", "ttys001", "Mon Dec  7 06:02:59 2026", "/bin/zsh -l"};
    EXPECT_EQ(table.get(412), expected);
}

TEST(ProcessTableParsing, SkipsLinesThatDoNotParse) {
    std::string output =
        "    1     0     1     1 Ss   ?        Tue Dec  8 02:29:27 2026 /sbin/init\n"
        "   xx     1     2     2 S    ?        Tue Dec  8 02:29:27 2026 not a pid\n"
        "    3     1     3\n"
        "    4     1     4     4 S    ?        Tue Dec  8 02:29:27 2026\n"
        "    5     1     5     5 S    ?        Tue Dec  8 02:29:27 2026 \n"
        "    6     1     6     6 S    ?        Tue Dec  8 02:29:27 2026  \t \xE3\x80\x80\n"
        "    7     1  +-7     7 S    ?        Tue Dec  8 02:29:27 2026 sign twice\n"
        "    8 99999999999999999999 8 8 S ? Tue Dec  8 02:29:27 2026 overflow\n"
        "\n"
        "    9     1     9    -1 S    ?        Tue Dec  8 02:29:27 2026 /usr/bin/last line";
    auto table = ProcessTable::fromPSOutput(output, true);
    std::vector<std::int64_t> pids;
    for (const auto& [pid, proc] : table.byPID) pids.push_back(pid);
    EXPECT_EQ(pids, (std::vector<std::int64_t>{1, 9}));
    EXPECT_EQ(table.get(9)->tpgid, -1);
    EXPECT_EQ(table.get(9)->command, "/usr/bin/last line");
}

TEST(ProcessTableParsing, IntegersTakeOneSignAndTheFullRange) {
    auto table = ProcessTable::fromPSOutput(
        "+10 -9223372036854775808 9223372036854775807 -1 S ? Tue Dec  8 02:29:27 2026 x\n"
        "11 9223372036854775808 1 1 S ? Tue Dec  8 02:29:27 2026 too big\n"
        "12 - 1 1 S ? Tue Dec  8 02:29:27 2026 sign only\n",
        true);
    ASSERT_EQ(table.byPID.size(), 1u);
    EXPECT_EQ(table.get(10)->ppid, INT64_MIN);
    EXPECT_EQ(table.get(10)->pgid, INT64_MAX);
}

TEST(ProcessTableParsing, LaterDuplicatesWin) {
    auto table = ProcessTable::fromPSOutput(
        "7 1 7 7 S ? Tue Dec  8 02:29:27 2026 first\n7 1 7 7 T ? Tue Dec  8 02:29:28 2026 second\n", true);
    ASSERT_EQ(table.byPID.size(), 1u);
    EXPECT_EQ(table.get(7)->command, "second");
    EXPECT_TRUE(table.get(7)->stopped());
    EXPECT_EQ(ProcessTable({row(1, 0, "a"), row(1, 0, "b")}).get(1)->command, "b");
}

// The start time holds blanks, so it is cut out by width: a day of one
// digit keeps its double blank, and the command keeps its inner blanks.
TEST(ProcessTableParsing, StartTimeIsCutByWidth) {
    auto table = ProcessTable::fromPSOutput(
        "5\t1\t5\t5\tS+\tpts/0\t Mon Dec  7 06:02:59 2026   spaced  out   command  \n"
        "7 1 7 7 S ? Mon Dec  7 06:02:59 2026x\n",
        true);
    ASSERT_TRUE(table.get(5));
    EXPECT_EQ(table.get(5)->tty, "pts/0");
    EXPECT_EQ(table.get(5)->lstart, "Mon Dec  7 06:02:59 2026");
    EXPECT_EQ(table.get(5)->command, "spaced  out   command");
    ASSERT_TRUE(table.get(7));
    EXPECT_EQ(table.get(7)->command, "x");

    // Characters, not bytes: a multi-byte character is never split.
    auto wide = ProcessTable::fromPSOutput(
        "6 1 6 6 S ? \xC3\xA9"
        "23456789012345678901234x\n",
        true);
    ASSERT_TRUE(wide.get(6));
    EXPECT_EQ(wide.get(6)->lstart,
              "\xC3\xA9"
              "23456789012345678901234");
    EXPECT_EQ(wide.get(6)->command, "x");

    auto withoutStart = ProcessTable::fromPSOutput("8 1 8 8 S ? Mon Dec  7 06:02:59 2026 cmd\n", false);
    EXPECT_EQ(withoutStart.get(8)->lstart, "");
    EXPECT_EQ(withoutStart.get(8)->command, "Mon Dec  7 06:02:59 2026 cmd");
}

TEST(ProcessTableParsing, FieldSplitter) {
    using Fields = std::vector<std::string_view>;
    EXPECT_EQ(ProcessTable::splitFields("  a \t b  ", 7), (Fields{"a", "b"}));
    EXPECT_EQ(ProcessTable::splitFields("a b c d", 3), (Fields{"a", "b", "c d"}));
    EXPECT_EQ(ProcessTable::splitFields("a b c  d  ", 3), (Fields{"a", "b", "c  d  "}));
    EXPECT_EQ(ProcessTable::splitFields("  all of it  ", 1), (Fields{"all of it  "}));
    EXPECT_EQ(ProcessTable::splitFields("  all of it", 0), (Fields{"all of it"}));
    EXPECT_EQ(ProcessTable::splitFields("   ", 7), Fields{});
    EXPECT_EQ(ProcessTable::splitFields("a b  ", 2), (Fields{"a", "b  "}));
}

TEST(ProcessTableQueries, ParentsAndShells) {
    ProcessTable table({row(1, 0, "/sbin/init"), row(100, 1, "-zsh", "ttys001", 100, 200),
                        row(200, 100, "claude", "ttys001", 200, 200), row(300, -4, "orphan"),
                        row(400, 999, "parent missing"), row(500, 200, "node /opt/claude-code/cli.js")});
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
        row(10, 0, "-zsh", "ttys001", 10, 11), row(11, 10, "claude", "ttys001", 11, 11),  // foreground job of a shell
        row(12, 10, "claude", "ttys001", 12, 11),                                         // background job
        row(13, 10, "claude", "??", 13, -1),                                              // no terminal under a shell
        row(20, 0, "tmux: server", "??"), row(21, 20, "claude", "ttys004", 21, 21),       // directly under tmux
        row(22, 20, "claude", "??", 22, -1), row(30, 0, "python3 runner.py", "ttys005", 30, 31),
        row(31, 30, "claude", "ttys005", 31, 31),  // terminal, but not a shell above
        row(40, 0, "claude", "-", 40, -1),         // no parent row
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
    EXPECT_TRUE(table.isSameProcess(5, "Mon Dec  7 06:02:59 2026"));
    EXPECT_TRUE(table.isSameProcess(5, "  Mon Dec  7 06:02:59 2026\t"));
    EXPECT_FALSE(table.isSameProcess(5, "Mon Dec  7 06:03:00 2026"));
    EXPECT_FALSE(table.isSameProcess(5, ""));
    EXPECT_FALSE(table.isSameProcess(7, "Mon Dec  7 06:02:59 2026"));
    // A blank start time must not match a row whose start time is unknown.
    EXPECT_FALSE(table.isSameProcess(9, " "));
    EXPECT_FALSE(table.isClaudePID(9, " "));
    EXPECT_TRUE(table.isClaudePID(5, "Mon Dec  7 06:02:59 2026"));
    EXPECT_FALSE(table.isClaudePID(6, "Mon Dec  7 06:02:59 2026"));
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
    EXPECT_EQ(own.get(getpid())->lstart.size(), static_cast<std::size_t>(lstartWidth));
    EXPECT_EQ(own.get(getpid())->lstart, all.get(getpid())->lstart);
    EXPECT_TRUE(ProcessTable::fromSystem({999'999'999}).byPID.empty());
}

TEST(ProcessTableSystem, ForClaudeAddsTheParentFromTheKernel) {
    FakeClaude claude;
    ChildProcess shell({"/bin/sh", "-c", test::shellQuote(claude.path) + " --lifetime-s 60; :"});
    std::int64_t pid = childRunning(shell.pid(), claude.path);
    ASSERT_GT(pid, 0);

    auto table = ProcessTable::forClaude(pid);
    ASSERT_EQ(table.byPID.size(), 2u);
    EXPECT_EQ(table.get(pid), ProcessTable::fromSystem({pid}).get(pid));
    Proc parent = *table.get(shell.pid());
    EXPECT_EQ(parent.ppid, 0);
    EXPECT_EQ(parent.stat, "");
    EXPECT_EQ(parent.lstart, "");
    EXPECT_EQ(parent.command, "/bin/sh -c " + test::shellQuote(claude.path) + " --lifetime-s 60; :");
    EXPECT_EQ(table.parentShellPID(pid), shell.pid());
    EXPECT_EQ(table.classifyShape(pid), Shape::a);
    EXPECT_EQ(table.findClaude(pid, maxAncestorHops)->pid, pid);
    // Walks end at the parent row.
    EXPECT_FALSE(table.parent(shell.pid()));
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
    std::int64_t foreground = 0;
    ASSERT_TRUE(waitUntil([&] {
        for (auto child : test::childrenOf(shell)) {
            if (child == background) continue;
            auto table = ProcessTable::forClaude(child);
            if (table.get(child) && table.get(child)->command.rfind(claude.path + " ", 0) == 0 &&
                table.get(child)->pgid == table.get(child)->tpgid) {
                foreground = child;
            }
        }
        return foreground != 0;
    }));

    auto atForeground = ProcessTable::forClaude(foreground);
    EXPECT_EQ(atForeground.classifyShape(foreground), Shape::b);
    EXPECT_EQ(atForeground.parentShellPID(foreground), shell);
    EXPECT_EQ(ProcessTable::forClaude(background).classifyShape(background), Shape::unknown);
    EXPECT_EQ(ProcessTable::forClaude(direct).classifyShape(direct), Shape::c);
    // The full snapshot agrees with the tee's small one.
    auto all = ProcessTable::fromSystem();
    EXPECT_EQ(all.classifyShape(foreground), Shape::b);
    EXPECT_EQ(all.classifyShape(background), Shape::unknown);
    EXPECT_EQ(all.classifyShape(direct), Shape::c);
}

}  // namespace
}  // namespace tracker
