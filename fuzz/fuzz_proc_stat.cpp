// /proc/<pid>/stat lines, /proc/<pid>/status and /proc/stat as the /proc
// reader parses them. Properties: a stat line made from known fields (with
// any command name, blanks and parentheses included) reads back as exactly
// those fields; whatever line is accepted has its name between the first "("
// and the last ")"; status and /proc/stat values are found on their own
// lines whatever surrounds them; start times print as ctime prints them; every state letter is one state.

#include <ctime>
#include <string>

#include "FuzzCheck.hpp"
#include "Platform/linux/ProcFS.hpp"

namespace tracker {
namespace {

using fuzz::literal;

void checkAnyStat(const std::string& text) {
    auto stat = ProcFS::parseStat(text);
    if (!stat) return;
    std::size_t open = text.find('(');
    std::size_t close = text.rfind(')');
    FUZZ_CHECK(open != std::string::npos && close != std::string::npos && close > open, literal(text));
    FUZZ_CHECK(stat->comm == text.substr(open + 1, close - open - 1), literal(text));
    // A state turns back into its own letter, or is unknown ('x' is shown as 'X').
    const RunState state = ProcFS::runState(stat->state);
    const char letter = RunStates::letter(state);
    FUZZ_CHECK(
        letter == stat->state || (state == RunState::unknown && letter == '?') || (stat->state == 'x' && letter == 'X'),
        literal(text));
}

void checkMadeStat(FuzzedDataProvider& provider) {
    ProcFS::Stat expected;
    expected.pid = provider.ConsumeIntegral<std::int64_t>();
    expected.comm = provider.ConsumeRandomLengthString(24);
    expected.state = provider.ConsumeIntegral<char>();
    if (expected.state == ' ' || expected.state == '\n' || expected.state == ')') expected.state = 'S';
    expected.ppid = provider.ConsumeIntegral<std::int64_t>();
    expected.pgrp = provider.ConsumeIntegral<std::int64_t>();
    expected.session = provider.ConsumeIntegral<std::int64_t>();
    std::int64_t ttyNr = provider.ConsumeIntegral<std::int64_t>();
    expected.ttyNr = static_cast<std::uint32_t>(ttyNr);
    expected.tpgid = provider.ConsumeIntegral<std::int64_t>();
    expected.nice = provider.ConsumeIntegralInRange<std::int64_t>(-20, 19);
    expected.threads = provider.ConsumeIntegral<std::int64_t>();
    expected.startTicks = provider.ConsumeIntegral<std::uint64_t>();

    std::string line = std::to_string(expected.pid) + " (" + expected.comm + ") " + expected.state;
    std::int64_t values[] = {expected.ppid, expected.pgrp, expected.session, ttyNr, expected.tpgid};
    for (auto value : values) line += " " + std::to_string(value);
    // flags minflt cminflt majflt cmajflt utime stime cutime cstime priority
    for (int k = 0; k < 10; ++k) line += " " + std::to_string(provider.ConsumeIntegral<std::uint32_t>());
    line += " " + std::to_string(expected.nice) + " " + std::to_string(expected.threads) + " 0 " +
            std::to_string(expected.startTicks);
    for (int k = 0; k < 30; ++k) line += " " + std::to_string(provider.ConsumeIntegral<std::uint16_t>());
    if (provider.ConsumeBool()) line += "\n";

    auto stat = ProcFS::parseStat(line);
    FUZZ_CHECK(stat.has_value(), literal(line));
    FUZZ_CHECK(stat->pid == expected.pid && stat->comm == expected.comm && stat->state == expected.state &&
                   stat->ppid == expected.ppid && stat->pgrp == expected.pgrp && stat->session == expected.session &&
                   stat->ttyNr == expected.ttyNr && stat->tpgid == expected.tpgid && stat->nice == expected.nice &&
                   stat->threads == expected.threads && stat->startTicks == expected.startTicks,
               literal(line));
    checkAnyStat(line);
    // Cut anywhere after the name's end, the line is short of fields.
    std::size_t close = line.rfind(')');
    std::size_t cut = provider.ConsumeIntegralInRange<std::size_t>(close, line.size());
    std::string shortened = line.substr(0, cut);
    std::size_t fieldsLeft = 0;
    for (std::size_t at = close + 1; at < shortened.size();) {
        while (at < shortened.size() && shortened[at] == ' ') ++at;
        std::size_t end = shortened.find(' ', at);
        if (end == std::string::npos) end = shortened.size();
        if (end > at) ++fieldsLeft;
        at = end;
    }
    if (fieldsLeft < 20) FUZZ_CHECK(!ProcFS::parseStat(shortened), literal(shortened));
}

std::string lowerWord(FuzzedDataProvider& provider) {
    std::string word;
    std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(1, 8);
    for (std::size_t k = 0; k < length; ++k)
        word += static_cast<char>('a' + provider.ConsumeIntegralInRange<int>(0, 25));
    return word;
}

std::string junkValue(FuzzedDataProvider& provider) {
    std::string value = provider.ConsumeRandomLengthString(16);
    for (char& c : value) {
        if (c == '\n') c = ' ';
    }
    return value;
}

void checkMadeStatus(FuzzedDataProvider& provider) {
    std::int64_t tgid = provider.ConsumeIntegralInRange<std::int64_t>(0, 1 << 22);
    std::int64_t uid = provider.ConsumeIntegralInRange<std::int64_t>(0, 1 << 30);
    std::string status;
    int lines = provider.ConsumeIntegralInRange<int>(0, 6);
    int tgidAt = provider.ConsumeIntegralInRange<int>(0, lines);
    int uidAt = provider.ConsumeIntegralInRange<int>(0, lines);
    for (int k = 0; k <= lines; ++k) {
        if (k == tgidAt) status += "Tgid:\t" + std::to_string(tgid) + "\n";
        if (k == uidAt) status += "Uid:\t" + std::to_string(uid) + "\t" + std::to_string(uid + 1) + "\t0\t0\n";
        if (k < lines) status += lowerWord(provider) + ":\t" + junkValue(provider) + "\n";
    }
    FUZZ_CHECK(ProcFS::threadGroup(status) == tgid, literal(status));
    FUZZ_CHECK(ProcFS::realUID(status) == uid, literal(status));

    std::int64_t boot = provider.ConsumeIntegralInRange<std::int64_t>(0, 4'000'000'000);
    std::string procStat = "cpu  " + junkValue(provider) + "\n";
    if (provider.ConsumeBool()) procStat = "";
    procStat += "intr " + std::to_string(provider.ConsumeIntegral<std::uint32_t>()) + "\nbtime " +
                std::to_string(boot) + "\nprocesses " + junkValue(provider) + "\n";
    FUZZ_CHECK(ProcFS::bootTime(procStat) == boot, literal(procStat));
}

void checkStartTime(std::int64_t seconds) {
    std::string shown = startTimeText(seconds);
    FUZZ_CHECK(shown.empty() || shown.size() == 24, shown);
    std::time_t when = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&when, &local) || local.tm_year + 1900 < 1000 || local.tm_year + 1900 > 9999) return;
    char reference[64];
    if (!asctime_r(&local, reference)) return;
    std::string expected(reference);
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
    FUZZ_CHECK(shown == expected, shown + " vs " + expected);
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {
            std::string text = provider.ConsumeRemainingBytesAsString();
            checkAnyStat(text);
            (void)ProcFS::threadGroup(text);
            (void)ProcFS::realUID(text);
            (void)ProcFS::bootTime(text);
            break;
        }
        case 1:
            checkMadeStat(provider);
            break;
        case 2:
            checkMadeStatus(provider);
            break;
        default:
            checkStartTime(provider.ConsumeIntegral<std::int64_t>());
            checkStartTime(provider.ConsumeIntegralInRange<std::int64_t>(0, 8'000'000'000));
            break;
    }
    return 0;
}
