// ps output read into a process table. Properties: the field splitter cuts a
// line into at most max pieces found in order in the line, none empty and all
// but the last free of blanks; every row of a table has a command and trimmed
// texts; a line made from known columns reads back as exactly those columns;
// the queries on any table stay within it.

#include <map>
#include <string>
#include <vector>

#include "Core/CommandLine.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/UTF8.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

using fuzz::literal;

bool isSeparator(char c) {
    return c == ' ' || c == '\t';
}

void checkSplit(std::string_view line, int max) {
    auto fields = ProcessTable::splitFields(line, max);
    const std::size_t cap = static_cast<std::size_t>(std::max(max, 1));
    FUZZ_CHECK(fields.size() <= cap, literal(line));
    const bool tookRest = fields.size() == cap;
    const char* cursor = line.data();
    for (std::size_t k = 0; k < fields.size(); ++k) {
        auto field = fields[k];
        FUZZ_CHECK(!field.empty() && !isSeparator(field.front()), literal(line));
        // Each piece lies in the line after the one before it, with only blanks between.
        FUZZ_CHECK(field.data() >= cursor && field.data() + field.size() <= line.data() + line.size(), literal(line));
        std::string_view between(cursor, static_cast<std::size_t>(field.data() - cursor));
        FUZZ_CHECK(between.find_first_not_of(" \t") == std::string_view::npos, literal(line) + ": skipped text");
        if (!(tookRest && k + 1 == fields.size())) {
            FUZZ_CHECK(field.find_first_of(" \t") == std::string_view::npos, literal(line) + ": blank in a field");
        }
        cursor = field.data() + field.size();
    }
    std::string_view left(cursor, static_cast<std::size_t>(line.data() + line.size() - cursor));
    if (tookRest) {
        FUZZ_CHECK(left.empty(), literal(line) + ": the last field stops short");
    } else {
        FUZZ_CHECK(left.find_first_not_of(" \t") == std::string_view::npos, literal(line) + ": dropped text");
    }
}

void checkTable(const ProcessTable& table, bool includesLStart, const std::string& input) {
    for (const auto& [pid, proc] : table.byPID) {
        FUZZ_CHECK(proc.pid == pid, literal(input));
        FUZZ_CHECK(!proc.command.empty() && UTF8::trimmed(proc.command) == proc.command, literal(input));
        FUZZ_CHECK(UTF8::trimmed(proc.lstart) == proc.lstart, literal(input));
        FUZZ_CHECK(includesLStart || proc.lstart.empty(), literal(input));
        FUZZ_CHECK(!proc.stat.empty() && proc.stat.find_first_of(" \t\n") == std::string::npos, literal(input));
        FUZZ_CHECK(!proc.tty.empty() && proc.tty.find_first_of(" \t\n") == std::string::npos, literal(input));
        FUZZ_CHECK(proc.command.find('\n') == std::string::npos, literal(input));

        if (auto up = table.parent(pid)) FUZZ_CHECK(up->pid == proc.ppid && proc.ppid > 0, literal(input));
        if (auto shell = table.parentShellPID(pid)) FUZZ_CHECK(*shell == proc.ppid, literal(input));
        Shape shape = table.classifyShape(pid);
        if (shape == Shape::b) FUZZ_CHECK(proc.hasTTY() && proc.pgid == proc.tpgid, literal(input));
        if (shape == Shape::a) FUZZ_CHECK(!proc.hasTTY(), literal(input));
        if (auto claude = table.findClaude(pid, maxAncestorHops)) {
            FUZZ_CHECK(isClaudeCommand(claude->command) && table.get(claude->pid) == claude, literal(input));
        }
        FUZZ_CHECK(table.isSameProcess(pid, proc.lstart) == !proc.lstart.empty(), literal(input));
        FUZZ_CHECK(!table.isSameProcess(pid, ""), literal(input));
    }
    for (const auto& claude : table.claudes()) FUZZ_CHECK(isClaudeCommand(claude.command), literal(input));
}

// Arbitrary bytes as ps output.
void checkArbitrary(const std::string& input, bool includesLStart) {
    std::size_t lines = 1;
    for (char c : input) lines += c == '\n';
    ProcessTable table = ProcessTable::fromPSOutput(input, includesLStart);
    FUZZ_CHECK(table.byPID.size() <= lines, literal(input));
    checkTable(table, includesLStart, input);

    std::size_t at = 0;
    while (at <= input.size()) {
        std::size_t end = std::min(input.find('\n', at), input.size());
        std::string_view line(input.data() + at, end - at);
        for (int max : {-1, 0, 1, 2, 7, 8}) checkSplit(line, max);
        if (auto row = ProcessTable::parsePSLine(line, includesLStart)) {
            FUZZ_CHECK(table.get(row->pid).has_value(), literal(input));
        }
        at = end + 1;
    }
}

std::string token(FuzzedDataProvider& provider, std::size_t most, bool allowBlanks) {
    std::string text;
    std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(1, most);
    for (std::size_t k = 0; k < length; ++k) {
        char c = provider.ConsumeIntegral<char>();
        if (c == '\n' || (!allowBlanks && isSeparator(c))) c = 'x';
        text += c;
    }
    return text;
}

std::string separators(FuzzedDataProvider& provider) {
    std::string text;
    std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(1, 3);
    for (std::size_t k = 0; k < length; ++k) text += provider.ConsumeBool() ? ' ' : '\t';
    return text;
}

std::string integerText(FuzzedDataProvider& provider, std::int64_t value) {
    if (value >= 0 && provider.ConsumeBool()) return "+" + std::to_string(value);
    return std::to_string(value);
}

// A line made from known columns reads back as exactly those columns.
void checkMadeLines(FuzzedDataProvider& provider) {
    const bool includesLStart = provider.ConsumeBool();
    std::string output;
    std::vector<std::optional<Proc>> expected;
    int count = provider.ConsumeIntegralInRange<int>(1, 4);
    for (int n = 0; n < count; ++n) {
        Proc proc;
        proc.pid = provider.ConsumeIntegralInRange<std::int64_t>(-3, 6);
        proc.ppid = provider.ConsumeIntegral<std::int64_t>();
        proc.pgid = provider.ConsumeIntegral<std::int64_t>();
        proc.tpgid = provider.ConsumeIntegralInRange<std::int64_t>(-1, 6);
        proc.stat = token(provider, 4, false);
        proc.tty = token(provider, 8, false);
        std::string line = provider.ConsumeBool() ? separators(provider) : "";
        line += integerText(provider, proc.pid) + separators(provider) + integerText(provider, proc.ppid) +
                separators(provider) + integerText(provider, proc.pgid) + separators(provider) +
                integerText(provider, proc.tpgid) + separators(provider) + proc.stat + separators(provider) + proc.tty +
                separators(provider);
        if (includesLStart) {
            // 24 characters of ASCII, the first not a blank (ps never starts it with one).
            std::string start;
            for (int k = 0; k < 24; ++k) {
                char c = static_cast<char>(provider.ConsumeIntegralInRange<int>(0x20, 0x7E));
                if (k == 0 && c == ' ') c = 'M';
                if (provider.ConsumeIntegralInRange<int>(0, 15) == 0 && k > 0) c = '\t';
                start += c;
            }
            line += start;
            proc.lstart = std::string(UTF8::trimmed(start));
        }
        std::string command = provider.ConsumeRandomLengthString(40);
        for (char& c : command) {
            if (c == '\n') c = ' ';
        }
        // Without a start time the splitter eats the blanks in front of the command.
        if (!includesLStart) {
            while (!command.empty() && isSeparator(command.front())) command.erase(0, 1);
        }
        line += command;
        proc.command = std::string(UTF8::trimmed(command));
        output += line;
        output += '\n';
        expected.push_back(proc.command.empty() ? std::nullopt : std::optional<Proc>(proc));
    }
    ProcessTable table = ProcessTable::fromPSOutput(output, includesLStart);
    std::map<std::int64_t, Proc> wanted;
    for (const auto& proc : expected) {
        if (proc) wanted.insert_or_assign(proc->pid, *proc);
    }
    FUZZ_CHECK(table.byPID == wanted, literal(output));
    checkTable(table, includesLStart, output);
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    FuzzedDataProvider provider(data, size);
    switch (provider.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            checkArbitrary(provider.ConsumeRemainingBytesAsString(), true);
            break;
        case 1:
            checkArbitrary(provider.ConsumeRemainingBytesAsString(), false);
            break;
        default:
            checkMadeLines(provider);
            break;
    }
    return 0;
}
