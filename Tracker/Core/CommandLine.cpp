#include "Core/CommandLine.hpp"

#include <array>

#include "Core/UTF8.hpp"

namespace tracker {

namespace {

static_assert(claudePattern.size() == 75);

// claudePattern is matched by hand, in one pass and without building anything at run time: the tee starts on
// every status-line refresh and every hook event. The expression is defined with ICU semantics: "\s" is tab,
// line feed, form feed, carriage return and the Unicode separators (categories Zs, Zl, Zp), and "$" also
// matches before one line terminator that ends the text.

constexpr std::string_view claudeWord = "claude";

// The Unicode separators beyond ASCII, as UTF-8: U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000. No byte of them can sit inside another well-formed character.
constexpr std::array<std::string_view, 18> wideSeparators = {
    "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83",
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

// The line terminators "$" may stand before: LF, VT, FF, CR, U+0085, U+2028, U+2029, and CR LF.
constexpr std::array<std::string_view, 8> lineTerminators = {"\n",       "\x0B",         "\f",           "\r",
                                                             "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9", "\r\n"};

// Bytes of the white space character ("\s") that starts at text[at]; 0 when none does.
std::size_t whiteSpaceAt(std::string_view text, std::size_t at) {
    switch (text[at]) {
        case '\t':
        case '\n':
        case '\f':
        case '\r':
        case ' ':
            return 1;
        default:
            break;
    }
    if (static_cast<unsigned char>(text[at]) < 0xC2) return 0;
    for (std::string_view separator : wideSeparators) {
        if (text.substr(at, separator.size()) == separator) return separator.size();
    }
    return 0;
}

// "(^|/)claude( |$)": the program, or any word, named claude.
bool matchesProgramName(std::string_view command) {
    for (std::size_t at = command.find(claudeWord); at != std::string_view::npos;
         at = command.find(claudeWord, at + 1)) {
        if (at > 0 && command[at - 1] != '/') continue;
        std::string_view rest = command.substr(at + claudeWord.size());
        if (rest.empty() || rest.front() == ' ') return true;
        for (std::string_view terminator : lineTerminators) {
            if (rest == terminator) return true;
        }
    }
    return false;
}

// "[^\s/]*claude[^\s/]*/(?:[^\s]*/)?cli\.js": within one word, a directory whose name holds "claude",
// and "cli.js" right after its slash or after any later slash of the word.
bool matchesScript(std::string_view command) {
    std::size_t component = 0;  // where the current path component starts
    bool underClaude = false;   // a component of this word named with "claude" ended at a slash
    for (std::size_t at = 0; at < command.size();) {
        if (std::size_t space = whiteSpaceAt(command, at)) {
            at += space;
            component = at;
            underClaude = false;
            continue;
        }
        if (command[at] == '/') {
            if (command.substr(component, at - component).find(claudeWord) != std::string_view::npos) {
                underClaude = true;
            }
            if (underClaude && command.substr(at + 1, 6) == "cli.js") return true;
            component = at + 1;
        }
        ++at;
    }
    return false;
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
    return matchesProgramName(command) || command.find("/claude/versions/") != std::string_view::npos ||
           matchesScript(command);
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
