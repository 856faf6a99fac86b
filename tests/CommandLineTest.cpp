#include <gtest/gtest.h>

#include <string>

#include "Core/CommandLine.hpp"

namespace tracker {
namespace {

TEST(IsClaudeCommand, RecognisesTheThreeForms) {
    EXPECT_TRUE(isClaudeCommand("claude"));
    EXPECT_TRUE(isClaudeCommand("/usr/local/bin/claude --resume"));
    EXPECT_TRUE(isClaudeCommand("node /opt/claude-code/cli.js"));
    EXPECT_TRUE(isClaudeCommand("/home/x/.local/share/claude/versions/1.2.3"));
    EXPECT_TRUE(isClaudeCommand("node /usr/lib/node_modules/@anthropic-ai/claude-code/cli.js --continue"));
    EXPECT_TRUE(isClaudeCommand("node /home/x/my-claude/dist/lib/cli.js"));
}

TEST(IsClaudeCommand, RejectsLookAlikes) {
    EXPECT_FALSE(isClaudeCommand(""));
    EXPECT_FALSE(isClaudeCommand("claudette"));
    EXPECT_FALSE(isClaudeCommand("xclaude"));
    EXPECT_FALSE(isClaudeCommand("claude\tfoo"));
    EXPECT_FALSE(isClaudeCommand("vim notes-about-claude.txt"));
    EXPECT_FALSE(isClaudeCommand("node /opt/other/cli.js"));
    EXPECT_FALSE(isClaudeCommand("Claude"));
}

// The expression is defined with ICU rules: "\s" spans the Unicode
// separators and "$" also sits before one final line terminator.
TEST(IsClaudeCommand, FollowsICUMeaningOfSpaceAndEnd) {
    // An em space ends the directory name, so "claude" is not in it.
    EXPECT_FALSE(
        isClaudeCommand("node /opt/claude\xE2\x80\x83"
                        "code/cli.js"));
    EXPECT_TRUE(isClaudeCommand("claude\n"));
    EXPECT_TRUE(isClaudeCommand("/bin/claude\r\n"));
    EXPECT_FALSE(isClaudeCommand("claude\n\n"));
    EXPECT_FALSE(isClaudeCommand("claude\xC2\xA0--resume"));
}

// Command lines of other users are untrusted: huge, hostile ones must finish
// (the matcher is linear) and still answer correctly.
TEST(IsClaudeCommand, HugeAndHostileCommandLines) {
    std::string nearMiss;
    while (nearMiss.size() < 400'000) nearMiss += "claudeclaude/";
    EXPECT_FALSE(isClaudeCommand(nearMiss));
    EXPECT_TRUE(isClaudeCommand(nearMiss + "cli.js"));

    std::string blanks(300'000, ' ');
    EXPECT_FALSE(isClaudeCommand("node" + blanks + "x"));
    EXPECT_TRUE(isClaudeCommand("node" + blanks + "/bin/claude"));

    std::string binary;
    for (int k = 0; k < 300'000; ++k) binary += static_cast<char>(k % 256);
    EXPECT_FALSE(isClaudeCommand(binary));
    EXPECT_TRUE(isClaudeCommand(binary + " /x/claude/versions/2"));

    EXPECT_EQ(firstTokenBasename(nearMiss), "claudeclaude");
    EXPECT_FALSE(isInteractiveShellCommand(blanks + "-" + nearMiss));
    EXPECT_TRUE(isInteractiveShellCommand(blanks + "-zsh" + blanks));
}

TEST(FirstTokenBasename, TakesTheProgramName) {
    EXPECT_EQ(firstTokenBasename("/bin/zsh -l"), "zsh");
    EXPECT_EQ(firstTokenBasename("  \t/usr/bin/tmux: server"), "tmux:");
    EXPECT_EQ(firstTokenBasename("/a/b/\tc d"), "\tc");
    EXPECT_EQ(firstTokenBasename("bash"), "bash");
    EXPECT_EQ(firstTokenBasename("/usr/bin/ --x"), "bin");
    EXPECT_EQ(firstTokenBasename("// x"), "/");
    EXPECT_EQ(firstTokenBasename(""), "");
    EXPECT_EQ(firstTokenBasename(" \t "), "");
}

TEST(IsInteractiveShellCommand, KnowsTheShells) {
    EXPECT_TRUE(isInteractiveShellCommand("-zsh"));
    EXPECT_TRUE(isInteractiveShellCommand("/bin/bash --login"));
    EXPECT_TRUE(isInteractiveShellCommand("fish"));
    EXPECT_TRUE(isInteractiveShellCommand("/usr/bin/dash"));
    EXPECT_TRUE(isInteractiveShellCommand("ksh"));
    EXPECT_TRUE(isInteractiveShellCommand("sh -c x"));
    EXPECT_FALSE(isInteractiveShellCommand("zshx"));
    EXPECT_FALSE(isInteractiveShellCommand("python"));
    EXPECT_FALSE(isInteractiveShellCommand(""));
    EXPECT_FALSE(isInteractiveShellCommand("--zsh"));
    EXPECT_FALSE(isInteractiveShellCommand("/bin/bash\t--login"));
}

TEST(IsTmuxCommand, MatchesTheNamePrefix) {
    EXPECT_TRUE(isTmuxCommand("tmux"));
    EXPECT_TRUE(isTmuxCommand("tmux: server"));
    EXPECT_TRUE(isTmuxCommand("/usr/bin/tmux new -s x"));
    EXPECT_FALSE(isTmuxCommand("screen"));
    EXPECT_FALSE(isTmuxCommand("/tmux/bin/screen"));
    EXPECT_FALSE(isTmuxCommand(""));
}

}  // namespace
}  // namespace tracker
