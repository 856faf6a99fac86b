#pragma once

#include <string>
#include <vector>

// How this platform shows a desktop notification: which program the daemon runs and with
// which arguments (no shell is involved, so nothing needs quoting for one).
namespace tracker::NotificationPoster {

// The program that posts: "/usr/bin/notify-send" on Linux.
std::string defaultProgram();
// Its name, as the log mentions it.
const char* name();

// The argument list, program first, that makes `program` show one notification. An empty
// subtitle means none.
std::vector<std::string> command(const std::string& program, const std::string& title, const std::string& message,
                                 const std::string& subtitle);

}  // namespace tracker::NotificationPoster
