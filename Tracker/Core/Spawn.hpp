#pragma once

#include <optional>
#include <string>
#include <vector>

// Starting other programs. The children start with an empty signal mask,
// default signal dispositions, the caller's environment, and no descriptors
// beyond 0, 1 and 2.
namespace tracker::Spawn {

// Runs arguments[0] (an explicit path, no PATH search) with the whole list as
// its argument vector and returns its standard output as UTF-8 text, each
// ill-formed sequence replaced by U+FFFD. Standard error goes to /dev/null,
// standard input is inherited. Any failure (empty list, no pipe, program
// missing) gives the output collected so far, usually the empty text. Blocks
// until the child has exited.
std::string capture(const std::vector<std::string>& arguments);

// Runs command through "/bin/sh -c" with input on its standard input, fed by
// a background thread so that a child which writes before it reads cannot
// deadlock us, and a child that exits without reading cannot kill us with
// SIGPIPE. Standard output and error are the caller's. Returns the raw wait
// status (768 for "exit 3"); none when the child could not be started or its
// status could not be collected.
std::optional<int> shell(const std::string& command, std::string input);

}  // namespace tracker::Spawn
