// The settings installer's transforms over a settings file and a
// configuration read from outside bytes. Properties: installing changes only
// "statusLine" in the settings and only its own keys in the configuration;
// restoring after installing gives the user's settings back; installing twice
// changes nothing more; a quoted tee path is one /bin/sh word that unquotes
// to the path; what install would write always serialises unless the input
// to it cannot be written as JSON.

#include <cmath>
#include <set>
#include <string>

#include "Core/HookSettings.hpp"
#include "Core/SettingsInstaller.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

namespace SI = SettingsInstaller;
using fuzz::literal;

// How /bin/sh reads one word made of single-quoted runs, backslash escapes and plain characters.
std::optional<std::string> unquoted(const std::string& word) {
    std::string out;
    for (std::size_t at = 0; at < word.size();) {
        char c = word[at];
        if (c == '\'') {
            std::size_t end = word.find('\'', at + 1);
            if (end == std::string::npos) return std::nullopt;
            out += word.substr(at + 1, end - at - 1);
            at = end + 1;
        } else if (c == '\\') {
            if (at + 1 >= word.size()) return std::nullopt;
            out += word[at + 1];
            at += 2;
        } else {
            if (SI::safeCharacters.find(c) == std::string_view::npos) return std::nullopt;
            out += c;
            ++at;
        }
    }
    return out;
}

void checkQuoting(const std::string& text) {
    std::string word = SI::shellQuoted(text);
    FUZZ_CHECK(!word.empty(), literal(text));
    FUZZ_CHECK(unquoted(word) == text, literal(text) + " -> " + literal(word));
    bool plain = word.find_first_not_of(SI::safeCharacters) == std::string::npos;
    FUZZ_CHECK(plain ? word == text : (word.front() == '\'' && word.back() == '\''), literal(word));
}

bool sameExcept(const JSONObject& a, const JSONObject& b, const std::set<std::string>& except) {
    for (const auto& [key, value] : a) {
        if (except.count(key)) continue;
        auto other = b.find(key);
        if (other == b.end() || other->second != value) return false;
    }
    for (const auto& [key, value] : b) {
        if (!except.count(key) && !a.count(key)) return false;
    }
    return true;
}

bool serialises(const JSONObject& object) {
    try {
        JSONFile::serialize(object);
        return true;
    } catch (const JSONFileError& error) {
        FUZZ_CHECK(error.kind() == JSONFileError::Kind::notSerializable, error.what());
        return false;
    }
}

JSONObject objectFrom(const std::string& bytes) {
    auto value = JSONFile::parse(bytes);
    return value && value->is_object() ? value->get<JSONObject>() : JSONObject{};
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    SI::Options options;
    options.refreshInterval = provider.ConsumeIntegral<std::int64_t>();
    options.threshold = provider.ConsumeFloatingPoint<double>();
    if (provider.ConsumeBool())
        options.notify = provider.PickValueInArray({NotifyMode::desktop, NotifyMode::app, NotifyMode::off});
    options.shellStopMode = provider.ConsumeBool() ? ShellStopMode::shellFirst : ShellStopMode::claudeOnly;
    options.overrideNotify = provider.ConsumeBool();
    options.overrideShellStopMode = provider.ConsumeBool();
    std::string teeDirectory = provider.ConsumeRandomLengthString(24);
    options.teePath = provider.ConsumeBool() ? teeDirectory + "/tarnel-tee" : teeDirectory;
    const JSONObject settings = objectFrom(provider.ConsumeRandomLengthString(512));
    const JSONObject config = objectFrom(provider.ConsumeRemainingBytesAsString());
    const std::string shown = JSON(settings).dump() + "\n" + JSON(config).dump() + "\n" + literal(options.teePath);

    checkQuoting(options.teePath);

    std::string command = SI::statusLineCommand(settings);
    bool marked = false;
    for (auto marker : SI::teeMarkers) marked = marked || command.find(marker) != std::string::npos;
    FUZZ_CHECK(SI::pointsAtTee(settings) == (!command.empty() && marked), shown);
    FUZZ_CHECK(SI::displayCommand(settings) == (command.empty() || marked ? std::nullopt : std::optional(command)),
               shown);

    // Installing touches "statusLine" and "hooks" (adding its own) and nothing else.
    JSONObject installed = SI::installedSettings(settings, options);
    FUZZ_CHECK(sameExcept(settings, installed, {"statusLine", "hooks"}), shown);
    FUZZ_CHECK(SI::statusLineCommand(installed) == SI::shellQuoted(options.teePath), shown);

    using Key = TrackerConfig::Key;
    const std::set<std::string> ownKeys{Key::displayCommand,  Key::previousStatusLine, Key::threshold,
                                        Key::refreshInterval, Key::shellStopMode,      Key::notify,
                                        Key::userHookEvents};
    JSONObject newConfig = SI::installedConfig(config, settings, options);
    FUZZ_CHECK(sameExcept(config, newConfig, ownKeys), shown);
    const TrackerConfig view = TrackerConfig::fromJSON(newConfig);
    auto display = SI::displayCommand(settings);
    if (display && !display->empty()) FUZZ_CHECK(view.displayCommand == display, shown);
    FUZZ_CHECK(newConfig.at(Key::previousStatusLine) == SI::previousStatusLine(settings, config), shown);
    if (options.refreshInterval > 0) FUZZ_CHECK(view.refreshInterval == options.refreshInterval, shown);
    FUZZ_CHECK(newConfig.at(Key::threshold).is_number_float(), shown);

    // Restoring after installing gives the settings back (their own hooks too, where they held none that run
    // the tee's hook, the installer could add its own and its tee is tarnel-tee, whose hooks it knows, with a
    // path it can write); a "statusLine" of null meant none.
    if (!SI::pointsAtTee(settings) && !HookSettings::hasOurs(settings) && !HookSettings::problem(settings) &&
        SI::pointsAtTee(installed) && fuzz::validUTF8(options.teePath) &&
        options.teePath.find("tarnel-tee") != std::string::npos) {
        JSONObject restored = SI::restoredSettings(installed, newConfig);
        JSONObject expected = settings;
        if (auto it = expected.find("statusLine"); it != expected.end() && it->second.is_null()) expected.erase(it);
        FUZZ_CHECK(restored == expected,
                   shown + "\nrestored as " + JSON(restored).dump(-1, ' ', false, JSON::error_handler_t::replace));
    }

    // With a tee path the installer recognises (and can write), installing again changes nothing.
    if (SI::pointsAtTee(installed) && fuzz::validUTF8(options.teePath) &&
        options.teePath.find("tarnel-tee") != std::string::npos) {
        FUZZ_CHECK(SI::installedSettings(installed, options) == installed, shown);
        JSONObject twice = SI::installedConfig(newConfig, installed, options);
        FUZZ_CHECK(twice == newConfig, shown + "\nsecond install: " + JSON(twice).dump());
    }

    // What install writes serialises, unless the tee path or a figure has no JSON form.
    bool writable = fuzz::validUTF8(options.teePath) && std::isfinite(options.threshold) && true;
    FUZZ_CHECK(serialises(installed) == fuzz::validUTF8(options.teePath), shown);
    if (writable) FUZZ_CHECK(serialises(newConfig), shown);
    return 0;
}
