#pragma once

#include <string>
#include <string_view>

// Predicates on command lines as the process list shows them. Command lines of
// other users' processes are untrusted: every predicate here runs in time
// linear in the length of the text.
namespace tracker {

// Recognises a Claude Code command line: a program named claude, a path under
// ".../claude/versions/", or a cli.js under a directory whose name holds
// "claude". The exact 75-character expression the two programs agree on.
inline constexpr std::string_view claudePattern =
    "(^|/)claude( |$)|/claude/versions/|[^\\s/]*claude[^\\s/]*/(?:[^\\s]*/)?cli\\.js";

// How many processes the tee inspects on its way up to the claude process.
inline constexpr int maxAncestorHops = 8;

// The last path component of the trimmed command's first word (which ends at
// the first blank; a tab does not end it); empty for an empty command.
std::string firstTokenBasename(std::string_view command);

// False for the empty text; otherwise whether claudePattern matches anywhere.
bool isClaudeCommand(std::string_view command);

// Whether the program is zsh, bash, fish, sh, dash or ksh, also in the
// login-shell form with one leading "-" ("-zsh").
bool isInteractiveShellCommand(std::string_view command);

// Whether the program's name begins with "tmux" ("tmux", "tmux: server").
bool isTmuxCommand(std::string_view command);

}  // namespace tracker
