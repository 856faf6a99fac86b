#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The user database: home directories and login names. Each platform folder implements it. Never fails:
// an unknown user, or a database that cannot be read, is none.
namespace tracker::UserAccounts {

// The home directory of the user named, or of this process's real user when user is empty.
std::optional<std::string> homeDirectory(const std::string& user);

// The login name of uid.
std::optional<std::string> loginName(std::int64_t uid);

}  // namespace tracker::UserAccounts
