#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Core/CommandLine.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Core/ProcessTable.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using ProcessAncestry::Hop;
using test::ChildProcess;
using test::TempDir;
using test::waitUntil;

// A made-up process tree for the walk, counting every lookup.
struct FakeTree {
    std::map<std::int64_t, std::int64_t> parents;
    std::map<std::int64_t, std::string> commands;
    int lookups = 0;

    std::optional<ProcessAncestry::Found> walk(std::int64_t from, int maxHops) {
        return ProcessAncestry::findClaude(
            from, maxHops,
            [&](std::int64_t pid) -> std::optional<std::int64_t> {
                ++lookups;
                auto found = parents.find(pid);
                if (found == parents.end()) return std::nullopt;
                return found->second;
            },
            [&](std::int64_t pid) -> std::optional<std::string> {
                ++lookups;
                auto found = commands.find(pid);
                if (found == commands.end()) return std::nullopt;
                return found->second;
            });
    }
};

TEST(FindClaude, WalksUpToTheClaudeProcess) {
    FakeTree tree;
    tree.parents = {{40, 30}, {30, 20}, {20, 10}, {10, 1}};
    tree.commands = {{40, "tarnel-tee"}, {30, "/bin/sh -c tarnel-tee"}, {10, "node /opt/claude-code/cli.js"}};
    auto found = tree.walk(40, maxAncestorHops);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->claude, (Hop{10, "node /opt/claude-code/cli.js"}));
    // An unreadable process is a hop with an empty command; the walk goes on.
    std::vector<Hop> chain = {
        {40, "tarnel-tee"}, {30, "/bin/sh -c tarnel-tee"}, {20, ""}, {10, "node /opt/claude-code/cli.js"}};
    EXPECT_EQ(found->chain, chain);

    // Exactly maxHops processes are inspected.
    EXPECT_TRUE(tree.walk(40, 4));
    EXPECT_FALSE(tree.walk(40, 3));

    auto direct = tree.walk(10, 1);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->chain, std::vector<Hop>{direct->claude});
}

TEST(FindClaude, EndsWithoutAClaudeProcess) {
    FakeTree tree;
    tree.parents = {{50, 1}, {60, 60}, {70, 75}};
    tree.commands = {{1, "claude"}, {50, "bash"}, {60, "loop"}, {70, "x"}};
    tree.lookups = 0;
    EXPECT_FALSE(tree.walk(50, 0));
    EXPECT_FALSE(tree.walk(50, -3));
    EXPECT_EQ(tree.lookups, 0);
    // The init process is never inspected, even when it looks like claude.
    EXPECT_FALSE(tree.walk(50, 8));
    EXPECT_FALSE(tree.walk(1, 8));
    EXPECT_FALSE(tree.walk(0, 8));
    EXPECT_FALSE(tree.walk(-7, 8));
    // A process that is its own parent, or whose parent is unknown.
    EXPECT_FALSE(tree.walk(60, 8));
    EXPECT_FALSE(tree.walk(70, 8));
}

TEST(ProcessAncestryKernel, WalksARealProcessTree) {
    TempDir dir;
    std::string claude = dir.file("claude");
    std::filesystem::create_symlink("/bin/sh", claude);
    std::string subject = test::supportProgram("proc_subject");
    ChildProcess session({claude, "-c", test::shellQuote(subject) + " --lifetime-s 60; :"});
    std::int64_t leaf = 0;
    ASSERT_TRUE(waitUntil([&] {
        auto children = test::childrenOf(session.pid());
        if (!children.empty()) leaf = children.front();
        // Not the shell's child before its exec, which still shows the shell's command line.
        return leaf != 0 && ProcessAncestry::commandLine(leaf) == subject + " --lifetime-s 60";
    }));

    EXPECT_EQ(ProcessAncestry::parentPID(leaf), session.pid());
    EXPECT_EQ(ProcessAncestry::parentPID(session.pid()), getpid());
    std::string sessionCommand = claude + " -c " + test::shellQuote(subject) + " --lifetime-s 60; :";
    EXPECT_EQ(ProcessAncestry::commandLine(session.pid()), sessionCommand);

    auto found = ProcessAncestry::findClaude(leaf, maxAncestorHops);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->claude, (Hop{session.pid(), sessionCommand}));
    ASSERT_EQ(found->chain.size(), 2u);
    EXPECT_EQ(found->chain[0].pid, leaf);
    EXPECT_EQ(found->chain[0].command, subject + " --lifetime-s 60");
    EXPECT_FALSE(ProcessAncestry::findClaude(leaf, 1));

    // The start the hooks name a process by is the one its row in a snapshot carries.
    auto table = ProcessTable::fromSystem({session.pid(), leaf});
    for (std::int64_t pid : {static_cast<std::int64_t>(session.pid()), leaf}) {
        ASSERT_TRUE(table.get(pid));
        EXPECT_EQ(ProcessAncestry::startID(pid), table.get(pid)->start.id);
    }
}

TEST(ProcessAncestryKernel, FailuresAreNone) {
    // A zombie has neither arguments nor an executable left.
    ChildProcess zombie({"/bin/true"});
    ASSERT_TRUE(waitUntil([&] { return test::processState(zombie.pid()) == 'Z'; }));
    EXPECT_EQ(ProcessAncestry::commandLine(zombie.pid()), std::nullopt);
    EXPECT_EQ(ProcessAncestry::parentPID(zombie.pid()), getpid());

    // The init process's parent is 0, which is none.
    EXPECT_EQ(ProcessAncestry::parentPID(1), std::nullopt);
    for (std::int64_t pid : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{999'999'999}, std::int64_t{1} << 33}) {
        EXPECT_EQ(ProcessAncestry::parentPID(pid), std::nullopt) << pid;
        EXPECT_EQ(ProcessAncestry::commandLine(pid), std::nullopt) << pid;
        EXPECT_EQ(ProcessAncestry::startID(pid), std::nullopt) << pid;
    }
    // Our own command line is readable.
    EXPECT_TRUE(ProcessAncestry::commandLine(getpid()).value_or("").find("ProcessAncestryTest") != std::string::npos);
}

}  // namespace
}  // namespace tracker
