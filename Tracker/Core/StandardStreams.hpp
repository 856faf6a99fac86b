#pragma once

// Descriptors 0, 1 and 2 as a program expects them at start.
namespace tracker::StandardStreams {

// Opens /dev/null on each of 0, 1 and 2 that is closed, so that no file a program opens later takes one of
// their numbers (and receives what is meant for standard output or error). Never fails loudly.
void ensureOpen();

}  // namespace tracker::StandardStreams
