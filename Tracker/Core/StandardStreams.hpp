#pragma once

#include <string_view>

// Descriptors 0, 1 and 2 as a program expects them at start.
namespace tracker::StandardStreams {

// Opens /dev/null on each of 0, 1 and 2 that is closed, so that no file a program opens later takes one of
// their numbers (and receives what is meant for standard output or error). Never fails loudly.
void ensureOpen();

// Writes all of bytes to fd, past interruptions and short writes, without the buffering of stdio (a program
// that writes one line and exits need not ask what fd is first); false when a write fails.
bool writeAll(int fd, std::string_view bytes);

}  // namespace tracker::StandardStreams
