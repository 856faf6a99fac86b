#include "Platform/UserAccounts.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

// Through the system's name services (files, and whatever else /etc/nsswitch.conf names).
namespace tracker::UserAccounts {

namespace {

std::vector<char> entryBuffer() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    return std::vector<char>(size > 0 ? static_cast<std::size_t>(size) : 16384);
}

}  // namespace

std::optional<std::string> homeDirectory(const std::string& user) {
    std::vector<char> buffer = entryBuffer();
    passwd entry{};
    passwd* found = nullptr;
    int rc = user.empty() ? ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)
                          : ::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0 || !found || !found->pw_dir) return std::nullopt;
    return std::string(found->pw_dir);
}

std::optional<std::string> loginName(std::int64_t uid) {
    std::vector<char> buffer = entryBuffer();
    passwd entry{};
    passwd* found = nullptr;
    int rc = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0 || !found || !found->pw_name) return std::nullopt;
    return std::string(found->pw_name);
}

}  // namespace tracker::UserAccounts
