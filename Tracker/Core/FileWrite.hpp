#pragma once

#include <string_view>

// Writing bytes to a descriptor: the one loop every writer of whole files and lines uses.
namespace tracker::FileWrite {

// Writes all of bytes to fd, past interruptions and short writes, without stdio's buffering; false (with
// errno set, EIO when a write took nothing) when a write fails.
bool all(int fd, std::string_view bytes);

}  // namespace tracker::FileWrite
