#include "Core/CommandLine.hpp"

#include <re2/re2.h>

#include <array>
#include <cstdlib>
#include <iostream>

#include "Core/UTF8.hpp"

namespace tracker {

namespace {

static_assert(claudePattern.size() == 75);

// claudePattern written for RE2. The expression is defined with ICU
// semantics, which differ from RE2's in two places: "\s" also covers the
// Unicode separators, and "$" also matches before one line terminator that
// ends the text.
constexpr std::string_view claudePatternForRE2 =
    "(^|/)claude( |(?:\\r\\n|[\\n\\x0B\\f\\r\\x{85}\\x{2028}\\x{2029}])?$)"
    "|/claude/versions/"
    "|[^\\t\\n\\f\\r\\p{Z}/]*claude[^\\t\\n\\f\\r\\p{Z}/]*/(?:[^\\t\\n\\f\\r\\p{Z}]*/)?cli\\.js";

// Compiled on first use; RE2 objects are safe to share between threads.
const RE2& claudeExpression() {
    static const RE2* const expression = [] {
        RE2::Options options;
        options.set_log_errors(false);
        auto* compiled = new RE2(claudePatternForRE2, options);
        if (!compiled->ok()) {
            std::cerr << "claude pattern does not compile: " << compiled->error() << "\n";
            std::abort();
        }
        return compiled;
    }();
    return *expression;
}

constexpr std::array<std::string_view, 6> shellNames = {"zsh", "bash", "fish", "sh", "dash", "ksh"};

// The text after the last "/", trailing slashes ignored; "/" for a word of
// slashes only.
std::string_view lastPathComponent(std::string_view word) {
    std::size_t end = word.find_last_not_of('/');
    if (end == std::string_view::npos) return word.empty() ? word : word.substr(0, 1);
    word = word.substr(0, end + 1);
    std::size_t slash = word.rfind('/');
    return slash == std::string_view::npos ? word : word.substr(slash + 1);
}

}  // namespace

std::string firstTokenBasename(std::string_view command) {
    std::string_view text = UTF8::trimmed(command);
    std::string_view word = text.substr(0, text.find(' '));
    return std::string(lastPathComponent(word));
}

bool isClaudeCommand(std::string_view command) {
    if (command.empty()) return false;
    return RE2::PartialMatch(command, claudeExpression());
}

bool isInteractiveShellCommand(std::string_view command) {
    std::string name = firstTokenBasename(command);
    std::string_view program = name;
    if (!program.empty() && program.front() == '-') program.remove_prefix(1);
    for (std::string_view shell : shellNames) {
        if (program == shell) return true;
    }
    return false;
}

bool isTmuxCommand(std::string_view command) {
    return firstTokenBasename(command).starts_with("tmux");
}

}  // namespace tracker
