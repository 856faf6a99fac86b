// The hooks tarnel install adds beside the user's own and tarnel restore takes out again.

#include <gtest/gtest.h>

#include "Core/HookSettings.hpp"
#include "Core/SettingsInstaller.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

namespace HS = HookSettings;

const std::string ours = "VAZ_ADODIVO_STATE_DIR=/s /usr/local/bin/tarnel-tee --hook";

JSONObject userSettings() {
    return JSON::parse(R"({
        "model": "opus",
        "hooks": {
            "Stop": [{"matcher": "", "hooks": [{"type": "command", "command": "notify-me"}]}],
            "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "check-bash"}]}]
        }
    })")
        .get<JSONObject>();
}

int ourHandlers(const JSONObject& settings, const std::string& event) {
    int count = 0;
    for (const auto& group : settings.at("hooks").at(event)) {
        for (const auto& handler : group.at("hooks")) count += HS::isOurs(handler);
    }
    return count;
}

TEST(HookSettings, AddsOursAfterTheUsersAndAgainOnlyOnce) {
    JSONObject installed = HS::withHooks(userSettings(), ours);
    for (const auto& event : HS::recordedEvents()) EXPECT_EQ(ourHandlers(installed, event), 1) << event;
    // The user's hooks stay first and unchanged.
    EXPECT_EQ(installed["hooks"]["Stop"][0], userSettings()["hooks"]["Stop"][0]);
    EXPECT_EQ(installed["hooks"]["PreToolUse"], userSettings()["hooks"]["PreToolUse"]);
    EXPECT_EQ(installed["hooks"]["Stop"][1]["hooks"][0]["timeout"], HS::timeoutSeconds);

    // Installing again (another tee path) replaces ours instead of adding a second set.
    JSONObject again = HS::withHooks(installed, "/opt/bin/tarnel-tee --hook");
    for (const auto& event : HS::recordedEvents()) EXPECT_EQ(ourHandlers(again, event), 1) << event;
    EXPECT_EQ(again["hooks"]["Stop"][1]["hooks"][0]["command"], "/opt/bin/tarnel-tee --hook");
}

TEST(HookSettings, RemovingTakesOutExactlyOurs) {
    EXPECT_EQ(HS::withoutHooks(HS::withHooks(userSettings(), ours)), userSettings());
    // Settings without hooks of their own lose the member again.
    JSONObject bare = JSON::parse(R"({"model": "opus"})").get<JSONObject>();
    EXPECT_EQ(HS::withoutHooks(HS::withHooks(bare, ours)), bare);
    // A user's handler in the same group as ours keeps the group; a lookalike that is no hook command stays.
    JSONObject shared = HS::withHooks(userSettings(), ours);
    shared["hooks"]["Stop"][1]["hooks"].push_back({{"type", "command"}, {"command", "tarnel-tee --status"}});
    JSONObject restored = HS::withoutHooks(shared);
    ASSERT_EQ(restored["hooks"]["Stop"].size(), 2u);
    EXPECT_EQ(restored["hooks"]["Stop"][1]["hooks"].size(), 1u);
    EXPECT_FALSE(HS::hasOurs(restored));
    EXPECT_TRUE(HS::hasOurs(shared));
}

// An earlier install also ran the tee for each tool call (PostToolUse, PostToolUseFailure): installing again
// takes those out, restoring takes out every entry of ours, and the user's own entries stay.
TEST(HookSettings, EntriesOfAnEarlierInstallOnEventsNoLongerUsed) {
    JSONObject earlier = HS::withHooks(userSettings(), ours);
    const JSON ourGroup = {{"matcher", ""}, {"hooks", {{{"type", "command"}, {"command", ours}, {"timeout", 5}}}}};
    earlier["hooks"]["PostToolUse"] = {{{"matcher", "Bash"}, {"hooks", {{{"type", "command"}, {"command", "log-it"}}}}},
                                       ourGroup};
    earlier["hooks"]["PostToolUseFailure"] = {ourGroup};
    EXPECT_EQ(HS::unusedEvents(earlier), (std::vector<std::string>{"PostToolUse", "PostToolUseFailure"}));

    JSONObject again = HS::withHooks(earlier, ours);
    EXPECT_TRUE(HS::unusedEvents(again).empty());
    for (const auto& event : HS::recordedEvents()) EXPECT_EQ(ourHandlers(again, event), 1) << event;
    EXPECT_FALSE(again["hooks"].contains("PostToolUseFailure"));
    ASSERT_EQ(again["hooks"]["PostToolUse"].size(), 1u);
    EXPECT_EQ(again["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "log-it");

    JSONObject restored = HS::withoutHooks(earlier);
    EXPECT_FALSE(HS::hasOurs(restored));
    EXPECT_FALSE(restored["hooks"].contains("PostToolUseFailure"));
    restored["hooks"].erase("PostToolUse");
    EXPECT_EQ(restored, userSettings());
}

TEST(HookSettings, HooksThatWouldLoseTheUsersEntriesAreRefused) {
    test::TempDir dir;
    StateDir state(dir.file("state"));
    const std::string settingsPath = dir.file("settings.json");
    SettingsInstaller::Options options;
    options.teePath = "/usr/local/bin/tarnel-tee";
    for (const char* settings : {R"({"hooks": []})", R"({"hooks": {"Stop": {"matcher": ""}}})"}) {
        test::writeFile(settingsPath, settings);
        EXPECT_THROW(SettingsInstaller::install(settingsPath, state, options), SettingsInstaller::Refusal) << settings;
        EXPECT_EQ(test::readFile(settingsPath), settings);
    }
}

// install and restore through the files: the user's status line and hooks come back as they were.
TEST(HookSettings, InstallAndRestoreRoundTrip) {
    test::TempDir dir;
    StateDir state(dir.file("state"));
    const std::string settingsPath = dir.file("settings.json");
    JSONObject before = userSettings();
    before["statusLine"] = JSONObject{{"type", "command"}, {"command", "my-status"}};
    test::writeFile(settingsPath, JSON(before).dump());
    SettingsInstaller::Options options;
    options.teePath = "/usr/local/bin/tarnel-tee";
    options.stateDir = state.root();
    auto installed = SettingsInstaller::install(settingsPath, state, options);
    EXPECT_EQ(ourHandlers(installed.settings, "PostToolBatch"), 1);
    const std::string command = installed.settings["hooks"]["PostToolBatch"][0]["hooks"][0]["command"];
    EXPECT_EQ(command, installed.settings["statusLine"]["command"].get<std::string>() + " --hook");
    SettingsInstaller::install(settingsPath, state, options);
    SettingsInstaller::restore(settingsPath, state);
    EXPECT_EQ(JSON::parse(test::readFile(settingsPath)), JSON(before));

    // Hooks of ours left behind with the user's status line in place are still taken out.
    test::writeFile(settingsPath, JSON(HS::withHooks(before, ours)).dump());
    EXPECT_TRUE(SettingsInstaller::restore(settingsPath, state).changed);
    EXPECT_EQ(JSON::parse(test::readFile(settingsPath)), JSON(before));
}

}  // namespace
}  // namespace tracker
