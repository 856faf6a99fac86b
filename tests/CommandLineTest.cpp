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

// The three alternatives at their edges, matched by hand: each case says what the expression says.
TEST(IsClaudeCommand, MatchesTheExpressionAtItsEdges) {
    const struct {
        const char* command;
        bool matches;
    } cases[] = {
        // (^|/)claude( |$): at the start or after a slash, then a blank, the end, or one final line terminator.
        {"claude --resume", true},
        {"node x/claude", true},
        {"x claude", false},
        {"/bin/claude-code", false},
        {"/bin/claude\t--resume", false},
        {"claude\x0B", true},
        {"claude\f", true},
        {"claude\r", true},
        {"claude\xC2\x85", true},
        {"claude\xE2\x80\xA8", true},
        {"claude\xE2\x80\xA9", true},
        {"claude\r\n", true},
        {"claude\n\r", false},
        {"claude\r\r", false},
        {"claude\x0Bx", false},
        {"/claudeclaude", false},
        {"claudeclaude /x/claude", true},
        // /claude/versions/ anywhere.
        {"/home/x/.local/share/claude/versions/", true},
        {"/home/x/claude/version/1", false},
        // A directory named with claude, then cli.js right after its slash or after a later slash of one word.
        {"node /x/claude-code/cli.js", true},
        {"node claude/cli.js", true},
        {"node /x/my-claude-tool/a/b/cli.js --flag", true},
        {"node /x/claude-code/a b/cli.js", false},
        {"node /x/claude.js/cli.js", true},
        {"node /x/claude/../cli.js", true},
        {"node /x/claudecli.js", false},
        {"node /x/cli.js/claude/", false},
        {"node /x/claude-code/xcli.js", false},
        {"node /x/claude-code/cli.jsx", true},
        {"node /x/claude-code/cli_js", false},
        // Each Unicode separator ends a word; VT and U+0085 are no white space for "\s".
        {"node /x/claude\xC2\xA0/cli.js", false},
        {"node /x/claude\xE1\x9A\x80/cli.js", false},
        {"node /x/claude\xE2\x80\x80/cli.js", false},
        {"node /x/claude\xE2\x80\x8A/cli.js", false},
        {"node /x/claude\xE2\x80\xA8/cli.js", false},
        {"node /x/claude\xE2\x80\xAF/cli.js", false},
        {"node /x/claude\xE2\x81\x9F/cli.js", false},
        {"node /x/claude\xE3\x80\x80/cli.js", false},
        {"node /x/claude\x0B/cli.js", true},
        {"node /x/claude\xC2\x85/cli.js", true},
        {"node /x/claude\xE2\x80\x8B/cli.js", true},
        {"node /x/claude\xE2\x80/cli.js", true},
        {"node /x/\xE2\x80\x80"
         "claude/cli.js",
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isClaudeCommand(c.command), c.matches) << testing::PrintToString(std::string(c.command));
    }
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
