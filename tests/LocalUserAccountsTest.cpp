// The user database the statically linked tee reads (/etc/passwd alone) against the system's name services:
// for the users of /etc/passwd they must agree. This test is built with LocalUserAccounts in place of the
// name services' version, which it asks directly.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "Platform/UserAccounts.hpp"

namespace tracker {
namespace {

std::optional<std::pair<std::string, std::string>> fromNameServices(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[16384];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found) return std::nullopt;
    return std::make_pair(std::string(found->pw_name), std::string(found->pw_dir));
}

TEST(LocalUserAccounts, AgreeWithTheNameServicesOnLocalUsers) {
    auto root = fromNameServices(0);
    ASSERT_TRUE(root);
    EXPECT_EQ(UserAccounts::loginName(0), root->first);
    EXPECT_EQ(UserAccounts::homeDirectory(root->first), root->second);
    // This user too, when /etc/passwd has it (not so for a user of a directory service).
    if (!UserAccounts::loginName(::getuid())) return;
    auto self = fromNameServices(::getuid());
    ASSERT_TRUE(self);
    EXPECT_EQ(UserAccounts::loginName(::getuid()), self->first);
    EXPECT_EQ(UserAccounts::homeDirectory(""), self->second);
}

TEST(LocalUserAccounts, UnknownUsersAreNone) {
    EXPECT_EQ(UserAccounts::homeDirectory("no-such-user-of-tarnel"), std::nullopt);
    EXPECT_EQ(UserAccounts::homeDirectory("root:x"), std::nullopt);
    EXPECT_EQ(UserAccounts::loginName(4'000'000'000LL), std::nullopt);
}

}  // namespace
}  // namespace tracker
