// The completions of tarnel in bash, zsh and fish, run in each real shell the way it completes a command line:
// they offer every command of `tarnel --help` and, for each, exactly the options its --help lists, and the values
// those options take. A command or an option added to the program without its completions fails here.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "HelpText.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker::test {
namespace {

const std::string completions = std::string(TARNEL_SOURCE_DIR) + "/packaging/completions";

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::set<std::string> setOf(const std::vector<std::string>& words) {
    return {words.begin(), words.end()};
}

// How one shell completes a command line (the cursor at its end): the candidates it offers, or the reason it
// cannot run here.
struct Shell {
    const char* name;
    std::vector<std::string> (*complete)(const std::string& line);
    const char* program;
};

// As bash splits a line into COMP_WORDS: at blanks, and at "=" and ":", which are words of their own.
std::vector<std::string> bashWords(const std::string& line) {
    std::vector<std::string> words{""};
    for (char c : line) {
        if (c == ' ') {
            if (!words.back().empty()) words.emplace_back();
        } else if (c == '=' || c == ':') {
            if (!words.back().empty()) words.emplace_back();
            words.back() = std::string(1, c);
            words.emplace_back();
        } else {
            words.back() += c;
        }
    }
    return words;
}

std::vector<std::string> bashComplete(const std::string& line) {
    std::vector<std::string> command{"bash", "--norc", "-c", R"sh(
        source /usr/share/bash-completion/bash_completion
        source "$1"
        COMP_LINE=$2 COMP_POINT=${#2}
        shift 2
        COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
        _tarnel
        printf '%s\n' "${COMPREPLY[@]}"
    )sh", "bash", completions + "/tarnel.bash", line};
    for (const auto& word : bashWords(line)) command.push_back(word);
    std::string output;
    runProgram(command, &output);
    return linesOf(output);
}

// zsh completes only in its line editor: an interactive zsh in a pseudo-terminal (zsh/zpty) gets the line and a
// Tab, with compadd wrapped to print what the completion functions add.
std::vector<std::string> zshComplete(const std::string& line) {
    static const std::string capture = R"sh(
        zmodload zsh/zpty
        zpty z zsh -f -i
        zpty -w z "PS1=''; fpath=($1 \$fpath); autoload -Uz compinit; compinit -u -D"
        zpty -w z 'compadd() { if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi
                               local -a hits; builtin compadd -A hits "$@"; local ret=$?
                               (( $#hits )) && print -rl -- "<hit>"${^hits}; return ret }'
        zpty -w z "comppostfuncs=(_done); _done() { compstate[insert]=''; compstate[list]=''; print '<<END>>' }"
        zpty -w z "bindkey '^I' complete-word; print '<<READY>>'"
        zpty -r z out '*<<READY>>*'
        zpty -r z out '*<<READY>>*'
        zpty -w -n z "$2"$'\t'
        zpty -r z out '*<<END>>*'
        zpty -d z
        print -r -- "$out" | tr -d '\r' | sed -n 's/.*<hit>//p'
    )sh";
    std::string output;
    runProgram({"timeout", "20", "zsh", "-f", "-c", capture, "zsh", completions, line}, &output);
    return linesOf(output);
}

// fish's own `complete -C` gives "candidate<TAB>description" lines; an option given with "=" comes back whole.
std::vector<std::string> fishComplete(const std::string& line) {
    std::string output;
    runProgram(
        {"fish", "--no-config", "-c", "source $argv[1]; complete -C $argv[2]", completions + "/tarnel.fish", line},
        &output);
    std::vector<std::string> candidates;
    for (auto candidate : linesOf(output)) {
        candidate = candidate.substr(0, candidate.find('\t'));
        if (auto equals = candidate.find('='); candidate.starts_with("--") && equals != std::string::npos) {
            candidate = candidate.substr(equals + 1);
        }
        candidates.push_back(candidate);
    }
    return candidates;
}

void PrintTo(const Shell& shell, std::ostream* out) {
    *out << shell.name;
}

class Completion : public ::testing::TestWithParam<Shell> {
protected:
    void SetUp() override {
        std::string where;
        if (runProgram({"sh", "-c", std::string("command -v ") + GetParam().program}, &where) != 0) {
            SKIP_OR_FAIL_IN_CI(std::string(GetParam().program) +
                               " is not installed (scripts/install-deps installs it)");
        }
        if (std::string(GetParam().name) == "bash" && !fileExists("/usr/share/bash-completion/bash_completion")) {
            SKIP_OR_FAIL_IN_CI("bash-completion is not installed (scripts/install-deps installs it)");
        }
    }
    std::set<std::string> complete(const std::string& line) const { return setOf(GetParam().complete(line)); }
};

TEST_P(Completion, OffersEveryCommandAndEachCommandsOwnOptions) {
    const auto commands = tarnelCommands();
    ASSERT_GE(commands.size(), 6u) << helpOf("tarnel", {"--help"});
    auto offered = complete("tarnel ");
    offered.erase("--help");  // bash offers the options before a command too
    offered.erase("--version");
    EXPECT_EQ(offered, setOf(commands));
    for (const auto& command : commands) {
        const auto options = tarnelOptions(command);
        ASSERT_TRUE(options.count("--help")) << command;
        EXPECT_EQ(complete("tarnel " + command + " --"), options) << "tarnel " << command;
    }
}

struct ValueCase {
    const char* line;
    std::set<std::string> values;
};

TEST_P(Completion, OffersTheValuesOptionsTake) {
    const ValueCase cases[] = {
        {"tarnel pa", {"pause"}},
        {"tarnel install --notify ", {"desktop", "app", "off"}},
        {"tarnel install --shell-stop-mode ", {"shell-first", "claude-only"}},
        {"tarnel install --threshold ", {"80", "85", "90", "95"}},
        {"tarnel pause --for ", {"30m", "1h", "1h30m", "2h", "4h", "8h"}},
        {"tarnel pause --for=1", {"1h", "1h30m"}},
        {"tarnel status --j", {"--json"}},
    };
    for (const auto& c : cases) EXPECT_EQ(complete(c.line), c.values) << c.line;

    // --until: the next twelve whole hours of the clock, as HH:MM.
    auto times = complete("tarnel pause --until ");
    EXPECT_EQ(times.size(), 12u);
    for (const auto& time : times) EXPECT_TRUE(std::regex_match(time, std::regex("([01][0-9]|2[0-3]):00"))) << time;
    auto hours = std::set<std::string>();
    for (const auto& time : times) hours.insert(time.substr(0, 2));
    EXPECT_EQ(hours.size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Shells, Completion,
                         ::testing::Values(Shell{"bash", bashComplete, "bash"}, Shell{"zsh", zshComplete, "zsh"},
                                           Shell{"fish", fishComplete, "fish"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tracker::test
