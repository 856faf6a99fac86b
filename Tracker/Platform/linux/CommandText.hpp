#pragma once

#include <string>
#include <string_view>

// The command column the way procps ps prints it in a UTF-8 locale, so that
// rows read from /proc carry the very text a ps run would show.
namespace tracker::CommandText {

// Largest part of /proc/<pid>/cmdline that ps reads; one byte less is kept.
inline constexpr std::size_t cmdlineLimit = 128 * 1024;

// The cmdline bytes (at most cmdlineLimit - 1 of them) with NUL and line
// feed turned into blanks, trailing NULs dropped, and escaped; "?" when only
// NULs remain; "[comm]" when cmdline is empty, with " <defunct>" for a
// zombie. One difference remains: ps also cuts its whole output line at
// 128 KiB, so for a longer command line its text ends a few dozen bytes
// earlier than this one.
std::string fromCmdline(std::string_view cmdline, std::string_view comm, bool zombie);

// Printable characters stay, everything else turns into "?" (see the .cpp
// for the exact rules, which follow ps byte for byte).
std::string escaped(std::string_view text);

}  // namespace tracker::CommandText
