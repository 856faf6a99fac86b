#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "Core/HookSettings.hpp"
#include "Core/JSONLayout.hpp"
#include "Core/SettingsInstaller.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace fs = std::filesystem;

namespace tracker {
namespace {

using test::TempDir;
namespace SI = SettingsInstaller;

JSONObject object(const char* text) {
    return JSON::parse(text).get<JSONObject>();
}

SI::Options teeOptions() {
    SI::Options options;
    options.teePath = "/usr/local/bin/tarnel-tee";
    options.refreshInterval = 30;
    options.threshold = 85;
    return options;
}

// Backup names depend on the local time zone; tests pin it to UTC.
class UTCZone {
public:
    UTCZone() {
        const char* old = std::getenv("TZ");
        if (old) saved_ = old;
        had_ = old != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~UTCZone() {
        if (had_) {
            setenv("TZ", saved_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

std::vector<std::string> backupsIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        std::string name = entry.path().filename().string();
        if (name.find(".bak-") != std::string::npos) names.push_back(name);
    }
    return names;
}

TEST(SettingsInstallerLocation, ChosenPathThenEnvironmentThenDefault) {
    const Environment environment{{SI::environmentKey, "/env/settings.json"}, {"HOME", "/ignored"}};
    EXPECT_EQ(SI::settingsPath(std::string("/given/settings.json"), environment), "/given/settings.json");
    EXPECT_EQ(SI::settingsPath(std::nullopt, environment), "/env/settings.json");
    const std::string home = expandTilde("~");
    EXPECT_EQ(SI::settingsPath(std::nullopt, {{SI::environmentKey, ""}}), home + "/.claude/settings.json");
    EXPECT_EQ(SI::settingsPath(std::string("~/x.json"), {}), home + "/x.json");
    EXPECT_EQ(SI::settingsPath(std::string("rel/s.json"), {}), (fs::current_path() / "rel/s.json").string());
}

TEST(SettingsInstallerStatusLine, CommandFromObjectOrBareText) {
    EXPECT_EQ(SI::statusLineCommand(object(R"({"statusLine": {"type": "command", "command": "~/bin/s.sh"}})")),
              "~/bin/s.sh");
    EXPECT_EQ(SI::statusLineCommand(object(R"({"statusLine": "echo hi"})")), "echo hi");
    EXPECT_EQ(SI::statusLineCommand(object(R"({"statusLine": {"command": 42}})")), "42");
    EXPECT_EQ(SI::statusLineCommand(object(R"({"statusLine": {"command": ["x"]}})")), "");
    EXPECT_EQ(SI::statusLineCommand(object(R"({"statusLine": 7})")), "");
    EXPECT_EQ(SI::statusLineCommand(object("{}")), "");
}

TEST(SettingsInstallerStatusLine, EveryTeeMarkerCountsAsTheTee) {
    for (const char* command : {"/opt/statusline-tee.sh", "lst-tee --x", "'/Applications/My App/tarnel-tee'"}) {
        JSONObject settings{{"statusLine", JSONObject{{"command", command}}}};
        EXPECT_TRUE(SI::pointsAtTee(settings)) << command;
        EXPECT_EQ(SI::displayCommand(settings), std::nullopt) << command;
    }
    JSONObject own = object(R"({"statusLine": "~/bin/my-status.sh"})");
    EXPECT_FALSE(SI::pointsAtTee(own));
    EXPECT_EQ(SI::displayCommand(own), "~/bin/my-status.sh");
    EXPECT_FALSE(SI::pointsAtTee(object(R"({"statusLine": ""})")));
    EXPECT_EQ(SI::displayCommand(object(R"({"statusLine": ""})")), std::nullopt);
}

TEST(SettingsInstallerStatusLine, AChosenStateDirectoryTravelsInTheCommand) {
    TempDir bin;
    const std::string tee = bin.file("tarnel-tee");
    test::writeFile(tee, "#!/bin/sh\nprintf %s \"$VAZ_ADODIVO_STATE_DIR\"\n");
    ::chmod(tee.c_str(), 0700);
    for (const std::string dir : {"/srv/state", "/home/a b/it's", "/x/$(touch y)"}) {
        JSONObject settings{{"statusLine", SI::statusLineValue(tee, 60, dir)}};
        EXPECT_TRUE(SI::pointsAtTee(settings)) << dir;
        EXPECT_EQ(SI::installedStateDir(settings), dir);
        // The shell Claude Code runs the command with hands the tee exactly that directory.
        std::string seen;
        ASSERT_EQ(test::runProgram({"/bin/sh", "-c", SI::statusLineCommand(settings)}, &seen), 0);
        EXPECT_EQ(seen, dir);
    }
    EXPECT_EQ(SI::installedStateDir({{"statusLine", SI::statusLineValue(tee, 60)}}), std::nullopt);
}

TEST(SettingsInstallerQuoting, SafeTextStaysOthersAreSingleQuoted) {
    EXPECT_EQ(SI::shellQuoted("/usr/local/bin/tarnel-tee"), "/usr/local/bin/tarnel-tee");
    EXPECT_EQ(SI::shellQuoted("/Applications/My App/tarnel-tee"), "'/Applications/My App/tarnel-tee'");
    EXPECT_EQ(SI::shellQuoted("/home/it's/tee"), "'/home/it'\\''s/tee'");
    EXPECT_EQ(SI::shellQuoted(""), "''");
    EXPECT_EQ(SI::shellQuoted(SI::safeCharacters), std::string(SI::safeCharacters));
    EXPECT_EQ(SI::safeCharacters.size(), 72u);
    EXPECT_EQ(SI::shellQuoted("$HOME/tee"), "'$HOME/tee'");
    EXPECT_EQ(SI::shellQuoted("~/tee"), "'~/tee'");
    EXPECT_EQ(SI::shellQuoted("/opt/caf\u00e9/tee"), "'/opt/caf\u00e9/tee'");
    EXPECT_EQ(SI::shellQuoted("a\nb"), "'a\nb'");
}

TEST(SettingsInstallerQuoting, QuotedPathSurvivesTheShell) {
    TempDir dir;
    const std::string awkward = dir.file("it's a \"tee\" $(x) `y`");
    test::writeFile(awkward, "");
    std::string command = "test -e " + SI::shellQuoted(awkward);
    EXPECT_EQ(std::system(command.c_str()), 0);
}

TEST(SettingsInstallerDocuments, InstallOverOwnStatusLine) {
    JSONObject settings =
        object(R"({"model": "opus", "statusLine": {"type": "command", "command": "~/bin/my-status.sh"}})");
    SI::Options options = teeOptions();
    options.teePath = "/Applications/My App/tarnel-tee";
    JSONObject installed = SI::installedSettings(settings, options);
    EXPECT_EQ(JSON(HookSettings::withoutHooks(installed)),
              JSON::parse(R"({"model": "opus", "statusLine": {"type": "command",
        "command": "'/Applications/My App/tarnel-tee'", "refreshInterval": 30}})"));
    EXPECT_EQ(installed["hooks"]["Stop"][0]["hooks"][0]["command"], "'/Applications/My App/tarnel-tee' --hook");
    EXPECT_TRUE(installed["statusLine"]["refreshInterval"].is_number_integer());

    JSONObject config = SI::installedConfig(object(R"({"poll_interval": 5})"), settings, options);
    EXPECT_EQ(config["display_command"], "~/bin/my-status.sh");
    EXPECT_EQ(config["previous_statusline"], settings["statusLine"]);
    EXPECT_TRUE(config["threshold"].is_number_float());
    EXPECT_EQ(config["threshold"], 85.0);
    EXPECT_EQ(config["refresh_interval"], 30);
    EXPECT_EQ(config["shell_stop_mode"], "shell-first");
    EXPECT_FALSE(config.count("notify"));
    EXPECT_EQ(config["poll_interval"], 5);
}

TEST(SettingsInstallerDocuments, ReinstallKeepsTheUsersStatusLine) {
    JSONObject original = object(R"({"statusLine": {"type": "command", "command": "~/bin/my-status.sh"}})");
    JSONObject firstConfig = SI::installedConfig({}, original, teeOptions());
    JSONObject installed = SI::installedSettings(original, teeOptions());
    JSONObject secondConfig = SI::installedConfig(firstConfig, installed, teeOptions());
    EXPECT_EQ(secondConfig["display_command"], "~/bin/my-status.sh");
    EXPECT_EQ(secondConfig["previous_statusline"], original["statusLine"]);
    EXPECT_EQ(SI::previousStatusLine(installed, {}), JSON(nullptr));
}

TEST(SettingsInstallerDocuments, NoStatusLineGivesNullsUnlessADisplayCommandWasKept) {
    JSONObject config = SI::installedConfig({}, {}, teeOptions());
    EXPECT_TRUE(config.at("display_command").is_null());
    EXPECT_TRUE(config.at("previous_statusline").is_null());
    JSONObject kept = SI::installedConfig(object(R"({"display_command": 17})"), {}, teeOptions());
    EXPECT_EQ(kept["display_command"], "17");
    EXPECT_EQ(JSON(SI::restoredSettings(object(R"({"statusLine": "tarnel-tee", "x": 1})"), config)),
              JSON::parse(R"({"x": 1})"));
}

TEST(SettingsInstallerDocuments, ExistingModesSurviveUnlessOverridden) {
    JSONObject existing = object(R"({"shell_stop_mode": "claude-only", "notify": "off", "threshold": 50,
                                      "refresh_interval": 5})");
    SI::Options options = teeOptions();
    options.notify = NotifyMode::app;
    JSONObject config = SI::installedConfig(existing, {}, options);
    EXPECT_EQ(config["shell_stop_mode"], "claude-only");
    EXPECT_EQ(config["notify"], "off");
    EXPECT_EQ(config["threshold"], 85.0);
    EXPECT_EQ(config["refresh_interval"], 30);

    JSONObject fresh = SI::installedConfig({}, {}, options);
    EXPECT_EQ(fresh["notify"], "app");

    options.overrideNotify = true;
    options.overrideShellStopMode = true;
    options.shellStopMode = ShellStopMode::shellFirst;
    JSONObject overridden = SI::installedConfig(existing, {}, options);
    EXPECT_EQ(overridden["notify"], "app");
    EXPECT_EQ(overridden["shell_stop_mode"], "shell-first");
}

TEST(SettingsInstallerDocuments, BareTextStatusLineComesBackAsText) {
    JSONObject settings = object(R"({"statusLine": "~/bin/my-status.sh"})");
    JSONObject config = SI::installedConfig({}, settings, teeOptions());
    EXPECT_EQ(config["display_command"], "~/bin/my-status.sh");
    EXPECT_EQ(config["previous_statusline"], "~/bin/my-status.sh");
    JSONObject restored = SI::restoredSettings(SI::installedSettings(settings, teeOptions()), config);
    EXPECT_EQ(restored["statusLine"], JSON("~/bin/my-status.sh"));
}

TEST(SettingsInstallerBackup, NameCarriesLocalTimeAndTheSameSecondNeverOverwrites) {
    UTCZone utc;
    TempDir dir;
    EXPECT_EQ(SI::backup(dir.file("settings.json"), 1796623379), std::nullopt);
    test::writeFile(dir.file("settings.json"), "first");
    auto first = SI::backup(dir.file("settings.json"), 1796623379.25);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, dir.file("settings.json.bak-20261207-060259"));
    // Two runs in one second: the first backup may be the only copy of the user's status line.
    test::writeFile(dir.file("settings.json"), "second");
    EXPECT_EQ(SI::backup(dir.file("settings.json"), 1796623379.9), dir.file("settings.json.bak-20261207-060259-2"));
    EXPECT_EQ(SI::backup(dir.file("settings.json"), 1796623379.9), dir.file("settings.json.bak-20261207-060259-3"));
    EXPECT_EQ(test::readFile(*first), "first");
    EXPECT_EQ(backupsIn(dir.path()).size(), 3u);
}

TEST(SettingsInstallerBackup, KeepsThePermissionsOfTheSettings) {
    TempDir dir;
    test::writeFile(dir.file("settings.json"), "{\"env\": {\"TOKEN\": \"secret\"}}");
    ::chmod(dir.file("settings.json").c_str(), 0600);
    auto copy = SI::backup(dir.file("settings.json"), 1796623379);
    ASSERT_TRUE(copy);
    struct stat info {};
    ASSERT_EQ(::stat(copy->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A settings file and a state directory in a temporary directory.
struct Install {
    TempDir dir;
    std::string settings = dir.file("claude/settings.json");
    StateDir state{dir.file("state")};

    void writeSettings(const std::string& text) {
        fs::create_directories(dir.file("claude"));
        test::writeFile(settings, text);
    }
    JSONObject readSettings() const {
        return JSONFile::readObject(settings).value_or(JSONObject{{"unreadable", true}});
    }
    JSONObject readConfig() const { return state.readConfig().document(); }
};

TEST(SettingsInstallerFiles, InstallThenRestoreRoundTrip) {
    Install setup;
    setup.writeSettings(
        R"({"model": "opus", "hooks": {"Stop": []}, "statusLine": {"type": "command", "command": "~/bin/my-status.sh", "padding": 0}})");
    const JSONObject before = setup.readSettings();

    SI::Result installed = SI::install(setup.settings, setup.state, teeOptions());
    EXPECT_TRUE(installed.changed);
    ASSERT_TRUE(installed.backupPath);
    EXPECT_EQ(JSONFile::readObject(*installed.backupPath), before);
    EXPECT_EQ(setup.readSettings(), installed.settings);
    EXPECT_EQ(HookSettings::withoutHooks(setup.readSettings(), {"Stop"}).at("hooks"), before.at("hooks"));
    EXPECT_EQ(setup.readSettings().at("statusLine")["command"], "/usr/local/bin/tarnel-tee");
    EXPECT_EQ(setup.readConfig(), installed.config);
    EXPECT_EQ(setup.readConfig().at("display_command"), "~/bin/my-status.sh");
    EXPECT_TRUE(fs::is_directory(setup.state.sessionsDir()));

    // The second install finds the tee installed and keeps what the first saved.
    SI::Result again = SI::install(setup.settings, setup.state, teeOptions());
    EXPECT_EQ(again.config.at("previous_statusline"), before.at("statusLine"));

    SI::Result restored = SI::restore(setup.settings, setup.state);
    EXPECT_TRUE(restored.changed);
    EXPECT_TRUE(restored.backupPath);
    EXPECT_EQ(setup.readSettings(), before);
    EXPECT_EQ(restored.config, setup.readConfig());
}

// A settings file many keep in git: install changes only what it adds, and restore gives back the very bytes.
TEST(SettingsInstallerFiles, InstallThenRestoreGivesTheFileBackByteForByte) {
    const struct {
        const char* name;
        std::string text;
        std::string indent;  // of the members, as install keeps it; "" for a file on one line
    } files[] = {
        {"as Claude Code writes it",
         "{\n  \"model\": \"opus\",\n  \"statusLine\": {\n    \"type\": \"command\",\n    \"command\": "
         "\"~/bin/line.sh\"\n  },\n  \"hooks\": {\n    \"Stop\": [\n      {\n        \"matcher\": \"\",\n        "
         "\"hooks\": [\n          {\n            \"type\": \"command\",\n            \"command\": \"say done\"\n"
         "          }\n        ]\n      }\n    ]\n  },\n  \"env\": {\n    \"zeta\": \"1\",\n    \"alpha\": \"2\"\n  "
         "},\n  \"cleanupPeriodDays\": 30,\n  \"verbose\": false,\n  \"ratio\": 0.5,\n  \"empty\": {},\n  "
         "\"none\": []\n}\n",
         "  "},
        {"four spaces, no final newline, no status line",
         "{\n    \"zeta\": true,\n    \"alpha\": {\n        \"b\": 1,\n        \"a\": \"é\"\n    }\n}", "    "},
        {"tabs and CRLF", "{\r\n\t\"zeta\": null,\r\n\t\"statusLine\": \"~/bin/line.sh\",\r\n\t\"alpha\": 1\r\n}\r\n",
         "\t"},
        {"on one line", R"({"zeta":1,"statusLine":{"type":"command","command":"x"},"alpha":[2,1]})", ""},
    };
    for (const auto& file : files) {
        Install setup;
        setup.writeSettings(file.text);
        SI::install(setup.settings, setup.state, teeOptions());
        const std::string installed = test::readFile(setup.settings);
        EXPECT_NE(installed, file.text) << file.name;
        EXPECT_LT(installed.find("\"zeta\""), installed.find("\"alpha\"")) << file.name << ":\n" << installed;
        if (!file.indent.empty()) {
            EXPECT_NE(installed.find("\n" + file.indent + "\"statusLine\": {"), std::string::npos) << file.name << ":\n"
                                                                                                   << installed;
        }
        SI::restore(setup.settings, setup.state);
        EXPECT_EQ(test::readFile(setup.settings), file.text) << file.name;
    }
}

TEST(SettingsInstallerFiles, TheLayoutOfASettingsFile) {
    using Style = JSONLayout::Style;
    const struct {
        const char* text;
        Style style;
    } cases[] = {
        {"{\n  \"a\": 1\n}\n", Style{"  ", true, false}},
        {"{\n    \"a\": {\n        \"b\": 1\n    }\n}", Style{"    ", false, false}},
        {"{\r\n\t\"a\": 1\r\n}\r\n", Style{"\t", true, true}},
        {"{\"a\": 1}", Style{std::nullopt, false, false}},
        {"{\"a\": 1}\n", Style{std::nullopt, true, false}},
        {"{\n\n \t\"a\": 1\n}\n", Style{"  ", true, false}},  // mixed: the default
        {"{\n}\n", Style{"  ", true, false}},
    };
    for (const auto& c : cases) EXPECT_EQ(JSONLayout::of(c.text), c.style) << c.text;

    // Members the original lacks follow its own, sorted; an array's elements follow it by position.
    EXPECT_EQ(JSONLayout::serializedLike(JSON::parse(R"({"a": 1, "z": [{"y": 1, "x": 2}], "m": 3, "b": 4})"),
                                         R"({"z":[{"x":0,"y":0}],"a":0})"),
              R"({"z":[{"x":2,"y":1}],"a":1,"b":4,"m":3})");
    // Nothing to follow: as every other document is written.
    EXPECT_EQ(JSONLayout::serializedLike(JSON::parse(R"({"b": 1, "a": 2})"), " \n"), "{\n  \"a\": 2,\n  \"b\": 1\n}\n");
}

TEST(SettingsInstallerFiles, MissingSettingsFileIsCreatedWithoutBackup) {
    Install setup;
    SI::Result result = SI::install(setup.settings, setup.state, teeOptions());
    EXPECT_EQ(result.backupPath, std::nullopt);
    EXPECT_EQ(setup.readSettings(), SI::installedSettings({}, teeOptions()));
    EXPECT_TRUE(setup.readConfig().at("previous_statusline").is_null());

    SI::Result restored = SI::restore(setup.settings, setup.state);
    EXPECT_TRUE(restored.changed);
    EXPECT_EQ(setup.readSettings(), JSONObject{});
}

TEST(SettingsInstallerFiles, WhiteSpaceOnlySettingsCountAsEmpty) {
    Install setup;
    setup.writeSettings("  \n");
    SI::Result result = SI::install(setup.settings, setup.state, teeOptions());
    EXPECT_TRUE(result.backupPath);
    EXPECT_EQ(setup.readSettings(), SI::installedSettings({}, teeOptions()));
}

TEST(SettingsInstallerFiles, RestoreLeavesAStatusLineThatIsNotTheTee) {
    Install setup;
    const std::string own = R"({"statusLine":   "~/bin/other.sh"})";
    setup.writeSettings(own);
    JSONFile::atomicWrite(object(R"({"previous_statusline": "~/bin/old.sh"})"), setup.state.configPath(), false);
    SI::Result result = SI::restore(setup.settings, setup.state);
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(result.backupPath, std::nullopt);
    EXPECT_EQ(test::readFile(setup.settings), own);
    EXPECT_TRUE(backupsIn(setup.dir.file("claude")).empty());

    Install missing;
    EXPECT_FALSE(SI::restore(missing.settings, missing.state).changed);
    EXPECT_FALSE(test::fileExists(missing.settings));
}

TEST(SettingsInstallerFiles, SymlinkedSettingsAreWrittenThrough) {
    Install setup;
    test::writeFile(setup.dir.file("dotfiles-settings.json"), R"({"statusLine": "~/bin/s.sh"})");
    fs::create_directories(setup.dir.file("claude"));
    fs::create_symlink(setup.dir.file("dotfiles-settings.json"), setup.settings);
    SI::install(setup.settings, setup.state, teeOptions());
    EXPECT_TRUE(fs::is_symlink(setup.settings));
    EXPECT_TRUE(SI::pointsAtTee(*JSONFile::readObject(setup.dir.file("dotfiles-settings.json"))));
}

// Every refusal leaves the settings byte for byte as they were, writes no
// configuration and makes no backup.
class SettingsInstallerRefusal : public ::testing::TestWithParam<const char*> {};

TEST_P(SettingsInstallerRefusal, SettingsThatAreNotAnObjectAreLeftAlone) {
    Install setup;
    setup.writeSettings(GetParam());
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    EXPECT_THROW(SI::restore(setup.settings, setup.state), SI::Refusal);
    EXPECT_EQ(test::readFile(setup.settings), GetParam());
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
    EXPECT_TRUE(backupsIn(setup.dir.file("claude")).empty());
}

INSTANTIATE_TEST_SUITE_P(Bodies, SettingsInstallerRefusal,
                         ::testing::Values(R"({"model": "opus", "statusLine": "x",})", "[1, 2]", "\"text\"", "42",
                                           "{\"a\": 1} trailing", "\xff\xfe{}"));

TEST(SettingsInstallerRefusals, MessageNamesTheFile) {
    Install setup;
    setup.writeSettings("{oops");
    try {
        SI::install(setup.settings, setup.state, teeOptions());
        FAIL() << "no refusal";
    } catch (const SI::Refusal& refusal) {
        EXPECT_EQ(refusal.path(), setup.settings);
        EXPECT_NE(std::string(refusal.what()).find(setup.settings), std::string::npos);
        EXPECT_NE(std::string(refusal.what()).find("not valid JSON"), std::string::npos);
    }
}

TEST(SettingsInstallerRefusals, SettingsPathThatIsADirectory) {
    Install setup;
    fs::create_directories(setup.settings);
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    EXPECT_TRUE(fs::is_directory(setup.settings));
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
}

TEST(SettingsInstallerRefusals, BrokenConfigurationIsLeftAlone) {
    Install setup;
    const std::string settings = R"({"statusLine": "~/bin/s.sh"})";
    setup.writeSettings(settings);
    setup.state.ensureDirectories();
    test::writeFile(setup.state.configPath(), "{\"display_command\": \"x\",");
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    EXPECT_EQ(test::readFile(setup.state.configPath()), "{\"display_command\": \"x\",");
    EXPECT_EQ(test::readFile(setup.settings), settings);
}

TEST(SettingsInstallerRefusals, UnwritableSettingsWriteNoConfiguration) {
    // A regular file where the settings directory should be stops every user, root too.
    Install setup;
    test::writeFile(setup.dir.file("claude"), "not a directory");
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
    EXPECT_EQ(test::readFile(setup.dir.file("claude")), "not a directory");
}

TEST(SettingsInstallerRefusals, ReadOnlySettingsDirectoryOrFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    Install setup;
    const std::string settings = R"({"statusLine": "~/bin/s.sh"})";
    setup.writeSettings(settings);
    ::chmod(setup.dir.file("claude").c_str(), 0500);
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    ::chmod(setup.dir.file("claude").c_str(), 0700);
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
    EXPECT_EQ(test::readFile(setup.settings), settings);

    // A settings file the user made read-only is theirs to keep that way.
    ::chmod(setup.settings.c_str(), 0400);
    EXPECT_THROW(SI::install(setup.settings, setup.state, teeOptions()), SI::Refusal);
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
    EXPECT_EQ(test::readFile(setup.settings), settings);
}

TEST(SettingsInstallerRefusals, StateDirectoryThatCannotBeMadeLeavesSettingsAlone) {
    TempDir dir;
    test::writeFile(dir.file("blocked"), "");
    const std::string settings = dir.file("settings.json");
    test::writeFile(settings, R"({"statusLine": "~/bin/s.sh"})");
    StateDir state(dir.file("blocked/state"));
    EXPECT_THROW(SI::install(settings, state, teeOptions()), std::filesystem::filesystem_error);
    EXPECT_EQ(test::readFile(settings), R"({"statusLine": "~/bin/s.sh"})");
}

TEST(SettingsInstallerRefusals, UnwritableValuesAreRefusedBeforeAnyWrite) {
    Install setup;
    SI::Options options = teeOptions();
    options.threshold = std::numeric_limits<double>::infinity();
    EXPECT_THROW(SI::install(setup.settings, setup.state, options), JSONFileError);
    EXPECT_FALSE(test::fileExists(setup.settings));
    EXPECT_FALSE(test::fileExists(setup.state.configPath()));
}

}  // namespace
}  // namespace tracker
