// The daemon's command line. Properties: parsing ends in flags, help or an
// error with status 2 and one of the documented messages, nothing else;
// status 0 without flags only ever means help was asked for; whatever flags
// come out, written back as a command line, parse to the same flags; the
// keys pinned against live reload are exactly those the flags and the
// environment set.

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Core/Version.hpp"
#include "Daemon/DaemonFlags.hpp"
#include "Daemon/DaemonLog.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

const std::vector<std::string> vocabulary = {
    "--dry-run",
    "--once",
    "--thaw-now",
    "--threshold",
    "--resume-in",
    "--state-dir",
    "--poll",
    "--notify",
    "--log-level",
    "-h",
    "--help",
    "90",
    "1e2",
    "0x10",
    " 5",
    "",
    "nan",
    "-inf",
    "desktop",
    "app",
    "off",
    "OFF",
    "WARN",
    "fatal",
    "debug",
    "/tmp/state",
    "--threshold=95",
    "-",
    "--",
    "--version",
    "--log-stderr",
};

std::string describe(const std::vector<std::string>& arguments) {
    std::string text;
    for (const auto& argument : arguments) text += fuzz::literal(argument) + " ";
    return text;
}

bool sameNumber(const std::optional<double>& a, const std::optional<double>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || *a == *b || (std::isnan(*a) && std::isnan(*b));
}

bool sameFlags(const Flags& a, const Flags& b) {
    return a.dryRun == b.dryRun && a.once == b.once && a.thawNow == b.thawNow && sameNumber(a.threshold, b.threshold) &&
           sameNumber(a.resumeIn, b.resumeIn) && a.notify == b.notify && a.stateDir == b.stateDir &&
           sameNumber(a.poll, b.poll) && a.logLevel == b.logLevel && a.logToStandardError == b.logToStandardError;
}

// Exact: hexadecimal floating point loses nothing.
std::string numberText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", value);
    return text;
}

std::vector<std::string> written(const Flags& flags) {
    std::vector<std::string> arguments;
    if (flags.dryRun) arguments.push_back("--dry-run");
    if (flags.once) arguments.push_back("--once");
    if (flags.thawNow) arguments.push_back("--thaw-now");
    if (flags.logToStandardError) arguments.push_back("--log-stderr");
    auto number = [&](const char* option, const std::optional<double>& value) {
        if (!value) return;
        arguments.push_back(option);
        arguments.push_back(numberText(*value));
    };
    number("--threshold", flags.threshold);
    number("--resume-in", flags.resumeIn);
    number("--poll", flags.poll);
    if (flags.notify) arguments.insert(arguments.end(), {"--notify", std::string(NotifyModes::text(*flags.notify))});
    if (flags.stateDir) arguments.insert(arguments.end(), {"--state-dir", *flags.stateDir});
    arguments.insert(arguments.end(), {"--log-level", std::string(DaemonLogLevels::name(flags.logLevel))});
    return arguments;
}

bool documentedError(const std::string& error) {
    if (error.starts_with("unrecognised argument: ")) return error.ends_with("\n\n" + daemonUsage());
    if (error == "--notify: choose from desktop, app, off") return true;
    if (error == "--log-level: choose from verbose, debug, info, warning, error, critical") return true;
    for (const char* option : {"--threshold", "--resume-in", "--state-dir", "--poll", "--notify", "--log-level"}) {
        if (error == std::string(option) + " needs a value") return true;
    }
    for (const char* option : {"--threshold", "--resume-in", "--poll"}) {
        if (error.starts_with(std::string(option) + ": not a number: ")) return true;
    }
    if (error.starts_with("--threshold: not a percentage from 0 to 100: ")) return true;
    for (const char* option : {"--resume-in", "--poll"}) {
        if (error.starts_with(std::string(option) + ": not a usable number of seconds: ")) return true;
    }
    return false;
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    std::vector<std::string> arguments;
    while (provider.remaining_bytes() > 0 && arguments.size() < 16) {
        if (provider.ConsumeBool()) {
            arguments.push_back(vocabulary[provider.ConsumeIntegralInRange<std::size_t>(0, vocabulary.size() - 1)]);
        } else {
            arguments.push_back(provider.ConsumeRandomLengthString(24));
        }
    }
    const std::string shown = describe(arguments);
    FlagsOutcome outcome = parseFlags(arguments);

    FUZZ_CHECK(outcome.status == 0 || outcome.status == 2, shown);
    if (outcome.flags) {
        FUZZ_CHECK(outcome.status == 0 && outcome.out.empty() && outcome.error.empty(), shown);
        const Flags& flags = *outcome.flags;
        FlagsOutcome again = parseFlags(written(flags));
        FUZZ_CHECK(again.flags && sameFlags(*again.flags, flags), shown + " -> " + describe(written(flags)));

        Environment environment;
        bool pinnedByEnvironment = provider.ConsumeBool();
        if (pinnedByEnvironment) environment["VAZ_ADODIVO_THRESHOLD"] = "x";
        auto keys = flags.pinnedKeys(environment);
        std::set<std::string> expected;
        if (flags.threshold || pinnedByEnvironment) expected.insert("threshold");
        if (flags.notify) expected.insert("notify");
        FUZZ_CHECK(keys == expected, shown);
        return 0;
    }
    if (outcome.status == 0) {
        bool askedForHelp = false;
        bool askedForVersion = false;
        for (const auto& argument : arguments) {
            askedForHelp = askedForHelp || argument == "-h" || argument == "--help";
            askedForVersion = askedForVersion || argument == "--version";
        }
        const bool help = askedForHelp && outcome.out == daemonUsage() + "\n";
        const bool version = askedForVersion && outcome.out == Version::line("tarnel-vovivida");
        FUZZ_CHECK((help || version) && outcome.error.empty(), shown);
        return 0;
    }
    FUZZ_CHECK(outcome.out.empty() && documentedError(outcome.error), shown + " -> " + outcome.error);
    return 0;
}
