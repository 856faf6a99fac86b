#include <pwd.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>

#include "Platform/UserAccounts.hpp"

// The user database as the local file /etc/passwd alone, for a program linked statically (tarnel-tee): such a
// program cannot load the modules of other name services. It is built into that program only, in place of
// UserAccounts.cpp. The tee needs it only where HOME is unset or its state directory names "~user".
namespace tracker::UserAccounts {

namespace {

// The first entry of /etc/passwd that wanted accepts, handed to take.
std::optional<std::string> findEntry(const std::function<bool(const passwd&)>& wanted,
                                     const std::function<const char*(const passwd&)>& take) {
    FILE* file = ::fopen("/etc/passwd", "re");
    if (!file) return std::nullopt;
    std::optional<std::string> result;
    char buffer[4096];
    passwd entry{};
    passwd* found = nullptr;
    while (::fgetpwent_r(file, &entry, buffer, sizeof buffer, &found) == 0 && found) {
        if (!wanted(*found)) continue;
        if (const char* value = take(*found)) result = std::string(value);
        break;
    }
    ::fclose(file);
    return result;
}

}  // namespace

std::optional<std::string> homeDirectory(const std::string& user) {
    const uid_t self = ::getuid();
    return findEntry([&](const passwd& entry) { return user.empty() ? entry.pw_uid == self : user == entry.pw_name; },
                     [](const passwd& entry) { return entry.pw_dir; });
}

std::optional<std::string> loginName(std::int64_t uid) {
    return findEntry([&](const passwd& entry) { return static_cast<std::int64_t>(entry.pw_uid) == uid; },
                     [](const passwd& entry) { return entry.pw_name; });
}

}  // namespace tracker::UserAccounts
