// The processes read from /proc must be what the system's ps sees: every test
// here starts real processes in the states that matter and holds each typed
// field, turned into text the way people read it, against ps's column.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Core/FileRead.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Spawn.hpp"
#include "Core/UTF8.hpp"
#include "Platform/ProcessSource.hpp"
#include "Platform/linux/CommandText.hpp"
#include "Platform/linux/ProcFS.hpp"
#include "Platform/linux/TTYNames.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::ChildProcess;
using test::SpawnOptions;
using test::TempDir;
using test::waitUntil;

std::string subjectPath() {
    return test::supportProgram("proc_subject");
}

// Sets an environment variable for as long as it lives.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
        ::tzset();
    }
    ~ScopedEnvironment() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
        ::tzset();
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// One line of ps -o pid=,ppid=,stat=,tty=,lstart=,command=.
struct PSRow {
    std::int64_t ppid = 0;
    std::string stat;
    std::string tty;
    std::string lstart;
    std::string command;
};

// The listing of ps, by pid. The start time holds blanks: it is the 24 characters after the terminal.
std::map<std::int64_t, PSRow> psRows(const std::string& output) {
    std::map<std::int64_t, PSRow> rows;
    std::size_t at = 0;
    while (at < output.size()) {
        std::size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(at, end - at);
        at = end + 1;
        std::istringstream fields(line);
        std::int64_t pid = 0;
        PSRow row;
        if (!(fields >> pid >> row.ppid >> row.stat >> row.tty)) continue;
        std::string rest;
        std::getline(fields, rest);
        std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string::npos || rest.size() < start + 24) continue;
        row.lstart = rest.substr(start, 24);
        std::size_t command = rest.find_first_not_of(' ', start + 24);
        // As the rows from /proc: without white space at either end.
        row.command = command == std::string::npos ? "" : std::string(UTF8::trimmed(rest.substr(command)));
        rows[pid] = row;
    }
    return rows;
}

// ps escapes command lines according to its locale; the rows from /proc
// follow a UTF-8 locale.
class ProcFSAgainstPS : public ::testing::Test {
protected:
    ScopedEnvironment locale_{"LC_ALL", "C.UTF-8"};
    ScopedEnvironment columns_{"COLUMNS", nullptr};

    static std::map<std::int64_t, PSRow> fromPS() {
        return psRows(Spawn::capture({"/bin/ps", "-ax", "-o", "pid=,ppid=,stat=,tty=,lstart=,command="}));
    }
    static ProcessTable fromProc(const std::vector<std::int64_t>& pids = {}) {
        return ProcessTable(ProcFS::read(pids));
    }

    // What the row says and ps does not, where they differ; empty when they agree.
    static std::string differences(const PSRow& expected, const Proc& actual) {
        std::string found;
        auto differ = [&](const char* what, const std::string& ps, const std::string& proc) {
            if (ps != proc) found += std::string(what) + ": ps " + ps + ", /proc " + proc + "; ";
        };
        differ("ppid", std::to_string(expected.ppid), std::to_string(actual.ppid));
        differ("state", expected.stat.substr(0, 1), std::string(1, RunStates::letter(actual.state)));
        differ("foreground", expected.stat.find('+') != std::string::npos ? "yes" : "no",
               actual.foreground ? "yes" : "no");
        differ("terminal", expected.tty, ProcessSource::terminalName(actual));
        differ("start", expected.lstart, actual.start.text());
        return found;
    }

    // Both listings hold the pid and agree on every field.
    static void expectSameRow(const std::map<std::int64_t, PSRow>& ps, const ProcessTable& proc, std::int64_t pid,
                              const std::string& what) {
        SCOPED_TRACE(what + " (pid " + std::to_string(pid) + ")");
        auto expected = ps.find(pid);
        auto actual = proc.get(pid);
        ASSERT_TRUE(expected != ps.end()) << "ps does not list it";
        ASSERT_TRUE(actual.has_value()) << "/proc gives no row";
        EXPECT_EQ(differences(expected->second, *actual), "");
        const std::string& command = expected->second.command;
        if (command.size() < 1000) {
            EXPECT_EQ(actual->command, command);
        } else if (command.size() > 131000) {
            // ps cuts its output line at 128 KiB; up to there the texts agree.
            EXPECT_EQ(actual->command.compare(0, command.size(), command), 0);
        } else {
            EXPECT_TRUE(actual->command == command)
                << "commands of " << actual->command.size() << " and " << command.size() << " bytes differ";
        }
    }
};

std::optional<ProcFS::Stat> statOf(std::int64_t pid) {
    std::string bytes = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    return ProcFS::parseStat(bytes);
}

bool reachesState(std::int64_t pid, char state) {
    return waitUntil([&] {
        auto stat = statOf(pid);
        return stat && stat->state == state;
    });
}

// Ends every process of a session the test did not start itself.
struct SessionGuard {
    std::int64_t sid = 0;
    ~SessionGuard() { test::killSession(sid); }
};

TEST_F(ProcFSAgainstPS, ProcessesInEveryStateMatch) {
    TempDir dir;
    std::string oddName = dir.file("a) b (c");
    std::filesystem::create_symlink(subjectPath(), oddName);

    std::vector<std::pair<std::string, std::unique_ptr<ChildProcess>>> subjects;
    auto start = [&](const std::string& what, const std::vector<std::string>& arguments,
                     const SpawnOptions& options = {}) -> ChildProcess& {
        subjects.emplace_back(what, std::make_unique<ChildProcess>(arguments, options));
        return *subjects.back().second;
    };
    ChildProcess& sleeping = start("sleeping", {subjectPath(), "--lifetime-s", "120"});
    start("blanks and parentheses in its name", {oddName, "arg with  two blanks", "(x) y)"});
    ChildProcess& stopped = start("stopped", {subjectPath()});
    ChildProcess& zombie = start("zombie", {"/bin/true"});
    start("low priority", {"nice", "-n", "7", subjectPath()});
    start("high priority", {"nice", "-n", "-3", subjectPath()});
    ChildProcess& threaded = start("threads and locked memory", {subjectPath(), "--threads", "2", "--lock"});
    SpawnOptions ownSession;
    ownSession.newSession = true;
    start("session leader", {subjectPath()}, ownSession);
    start("empty argument vector", {"bash", "-c", "exec -a '' " + test::shellQuote(subjectPath())});
    start("long command line",
          {subjectPath(), std::string(60000, 'x'), std::string(60000, 'y'), std::string(60000, 'z')});

    ::kill(stopped.pid(), SIGSTOP);
    ASSERT_TRUE(reachesState(stopped.pid(), 'T'));
    ASSERT_TRUE(reachesState(zombie.pid(), 'Z'));
    ASSERT_TRUE(waitUntil([&] {
        auto stat = statOf(threaded.pid());
        return stat && stat->threads == 3;
    }));
    for (auto& [what, child] : subjects) {
        if (child.get() != &stopped && child.get() != &zombie) {
            ASSERT_TRUE(reachesState(child->pid(), 'S')) << what;
        }
    }

    ProcessTable proc = fromProc();
    auto ps = fromPS();
    for (auto& [what, child] : subjects) expectSameRow(ps, proc, child->pid(), what);

    // The states themselves, so that a ps that changed its mind shows up.
    EXPECT_EQ(proc.get(sleeping.pid())->state, RunState::sleeping);
    EXPECT_EQ(proc.get(stopped.pid())->state, RunState::stopped);
    EXPECT_TRUE(proc.get(stopped.pid())->stopped());
    EXPECT_EQ(proc.get(zombie.pid())->state, RunState::zombie);
    EXPECT_EQ(proc.get(zombie.pid())->command, "[true] <defunct>");
    EXPECT_EQ(proc.get(threaded.pid())->state, RunState::sleeping);
    EXPECT_FALSE(proc.get(subjects[7].second->pid())->hasTerminal());
    EXPECT_EQ(proc.get(subjects[1].second->pid())->command, oddName + " arg with  two blanks (x) y)");
    EXPECT_EQ(proc.get(subjects.back().second->pid())->command.size(), CommandText::cmdlineLimit - 1);
    EXPECT_EQ(proc.get(subjects[subjects.size() - 2].second->pid())->command, "?");
}

TEST_F(ProcFSAgainstPS, ProcessesOnATerminalMatch) {
    // script gives its command a pseudo-terminal of its own: the command is a
    // session leader in the terminal's foreground group.
    ChildProcess script({"script", "-qfc", test::shellQuote(subjectPath()) + " --lifetime-s 120", "/dev/null"});
    std::int64_t onTerminal = 0;
    ASSERT_TRUE(waitUntil([&] {
        for (auto child : test::childrenOf(script.pid())) {
            auto row = fromProc({child}).get(child);
            if (row && row->command.find("proc_subject") != std::string::npos) onTerminal = child;
        }
        return onTerminal != 0;
    }));
    SessionGuard guard{onTerminal};
    ASSERT_TRUE(reachesState(onTerminal, 'S'));

    test::TmuxServer tmux;
    std::int64_t pane = tmux.newSession("procfs", test::shellQuote(subjectPath()) + " --lifetime-s 120");
    ASSERT_GT(pane, 0);
    ASSERT_TRUE(reachesState(pane, 'S'));

    // script and the tmux server wake up to relay output now and then; their
    // rows must agree in one of a few pairs of listings.
    for (std::int64_t busy : {static_cast<std::int64_t>(script.pid()), ProcessTable::fromSystem().get(pane)->ppid}) {
        bool agreed = false;
        for (int round = 0; round < 5 && !agreed; ++round) {
            ProcessTable proc = fromProc({busy});
            auto ps = fromPS();
            agreed = proc.get(busy) && ps.count(busy) && differences(ps[busy], *proc.get(busy)).empty();
        }
        EXPECT_TRUE(agreed) << "pid " << busy;
    }
    ProcessTable proc = fromProc();
    auto ps = fromPS();
    expectSameRow(ps, proc, onTerminal, "command under script");
    expectSameRow(ps, proc, pane, "tmux pane");
    auto row = proc.get(onTerminal);
    ASSERT_TRUE(row);
    EXPECT_EQ(ProcessSource::terminalName(*row).rfind("pts/", 0), 0u) << ProcessSource::terminalName(*row);
    EXPECT_EQ(row->state, RunState::sleeping);
    EXPECT_TRUE(row->foreground);
    EXPECT_TRUE(row->hasTerminal());
    auto server = proc.parent(pane);
    ASSERT_TRUE(server);
    EXPECT_TRUE(isTmuxCommand(server->command)) << server->command;
}

// Every character class ps treats differently: controls, line feeds, broken
// and overlong sequences, characters that are not printable, and what ps does
// once it has met a byte that cannot start a character.
TEST_F(ProcFSAgainstPS, CommandLinesWithHostileBytesMatch) {
    const std::vector<std::vector<std::string>> cases = {
        {"tab\there", "nl\nx", "ctl\x01\x1b\x7f", "utf\xc3\xbc", "c1\xc2\x85", "nbsp\xc2\xa0", "ls\xe2\x80\xa8"},
        {"emoji\xf0\x9f\x98\x80", "nonchar\xef\xbf\xbe", "surrogate\xed\xa0\x80", "overlong\xe0\x80\xaf",
         "beyond\xf4\x90\x80\x80", "bidi\xe2\x80\xae"},
        {"broken\xe2\x82"
         "A",
         "\xe2\x01"
         "A",
         "\xc3\xc3\xbc", "x\xf0\x9f\x98"},
        {"lone\x9b", "after\tgiving up\x01\xc2\xa0\xc3\xbc"},
        {"bad\xff\xfe", "then\xc2\x85\xc2\xa0"},
        {"", "", "empty arguments in between", ""},
        {"  leading and trailing blanks  "},
        {"\xe3\x80\x80ideographic space at the end\xe3\x80\x80"},
    };
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const auto& arguments : cases) {
        std::vector<std::string> argv = {subjectPath()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        children.push_back(std::make_unique<ChildProcess>(argv));
    }
    for (auto& child : children) ASSERT_TRUE(reachesState(child->pid(), 'S'));
    ProcessTable proc = fromProc();
    auto ps = fromPS();
    for (std::size_t k = 0; k < children.size(); ++k) {
        expectSameRow(ps, proc, children[k]->pid(), "case " + std::to_string(k));
    }
}

// All of the Basic Multilingual Plane and a sample beyond, one character per
// argument: whether ps keeps a character or shows "?" depends on the C
// library's idea of printable.
TEST_F(ProcFSAgainstPS, EveryCharacterIsShownAsPSShowsIt) {
    auto encode = [](char32_t c) {
        std::string out;
        if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (c & 0x3F));
        return out;
    };
    std::vector<std::vector<std::string>> chunks(1);
    std::size_t used = 0;
    for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        if (c >= 0x10000 && c % 61 != 0) continue;
        std::string argument = "<" + encode(c) + ">";
        if (used + argument.size() + 1 > 100000) {
            chunks.emplace_back();
            used = 0;
        }
        chunks.back().push_back(argument);
        used += argument.size() + 1;
    }
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const auto& chunk : chunks) {
        std::vector<std::string> argv = {subjectPath()};
        argv.insert(argv.end(), chunk.begin(), chunk.end());
        children.push_back(std::make_unique<ChildProcess>(argv));
    }
    for (auto& child : children) ASSERT_TRUE(reachesState(child->pid(), 'S'));
    ProcessTable proc = fromProc();
    auto ps = fromPS();
    for (std::size_t k = 0; k < children.size(); ++k) {
        expectSameRow(ps, proc, children[k]->pid(), "chunk " + std::to_string(k));
    }
}

// Start times and terminals of every process on the machine, kernel threads
// and old daemons included: the boot time and tick arithmetic must agree
// with ps for all of them. Processes we do not own may exec, be reparented
// or change their group between the two listings, so only rows with the
// same command are compared, and a difference counts only when it shows in
// three pairs of listings in a row.
TEST_F(ProcFSAgainstPS, StartTimesAndTerminalsOfAllProcessesMatch) {
    std::map<std::int64_t, std::string> differing;
    int compared = 0;
    for (int round = 0; round < 3; ++round) {
        ProcessTable proc = fromProc();
        auto ps = fromPS();
        std::map<std::int64_t, std::string> now;
        for (const auto& [pid, expected] : ps) {
            auto actual = proc.get(pid);
            if (!actual || actual->command != expected.command) continue;
            if (round == 0) ++compared;
            // The state and the foreground group change as they please; the rest does not.
            std::string found = differences(expected, *actual);
            for (const char* moving : {"state: ", "foreground: "}) {
                for (auto at = found.find(moving); at != std::string::npos; at = found.find(moving)) {
                    found.erase(at, found.find("; ", at) + 2 - at);
                }
            }
            if (!found.empty()) now[pid] = expected.command + ": " + found;
        }
        if (round > 0) {
            std::map<std::int64_t, std::string> still;
            for (const auto& [pid, text] : now) {
                if (differing.count(pid)) still[pid] = text;
            }
            now = still;
        }
        differing = now;
        if (differing.empty()) break;
    }
    for (const auto& [pid, text] : differing) ADD_FAILURE() << "pid " << pid << " " << text;
    EXPECT_GT(compared, 1);
    auto init = fromProc({1}).get(1);
    ASSERT_TRUE(init);
    EXPECT_EQ(init->ppid, 0);
}

TEST_F(ProcFSAgainstPS, StartTimesFollowTheTimeZone) {
    ChildProcess subject({subjectPath()});
    ASSERT_TRUE(reachesState(subject.pid(), 'S'));
    std::string inUTC;
    {
        ScopedEnvironment zone("TZ", "UTC0");
        inUTC = fromProc({subject.pid()}).get(subject.pid())->start.text();
    }
    ScopedEnvironment zone("TZ", "IST-5:30");
    ProcessTable proc = fromProc({subject.pid()});
    auto ps = fromPS();
    expectSameRow(ps, proc, subject.pid(), "five and a half hours east");
    EXPECT_NE(proc.get(subject.pid())->start.text(), inUTC);
}

TEST_F(ProcFSAgainstPS, ListedPidsGiveTheSameRows) {
    ChildProcess threaded({subjectPath(), "--threads", "1"});
    ChildProcess other({subjectPath()});
    ASSERT_TRUE(waitUntil([&] {
        auto stat = statOf(threaded.pid());
        return stat && stat->threads == 2 && stat->state == 'S';
    }));
    ASSERT_TRUE(reachesState(other.pid(), 'S'));
    std::int64_t thread = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(threaded.pid()) + "/task")) {
        std::int64_t tid = std::stoll(entry.path().filename().string());
        if (tid != threaded.pid()) thread = tid;
    }
    ASSERT_NE(thread, 0);

    ProcessTable listed = fromProc({threaded.pid(), other.pid(), thread, 0, -5, 4'000'000'000LL});
    ProcessTable all = fromProc();
    EXPECT_EQ(listed.byPID.size(), 2u);
    EXPECT_EQ(listed.get(threaded.pid()), all.get(threaded.pid()));
    EXPECT_EQ(listed.get(other.pid()), all.get(other.pid()));
    // A thread is not a process.
    EXPECT_FALSE(listed.isAlive(thread));

    // Asked about again and again, a process is still read as it is now: stopped, then gone once reaped.
    ::kill(other.pid(), SIGSTOP);
    ASSERT_TRUE(reachesState(other.pid(), 'T'));
    EXPECT_TRUE(fromProc({other.pid()}).get(other.pid())->stopped());
    const auto gone = other.pid();
    ::kill(gone, SIGKILL);
    other.wait();
    EXPECT_FALSE(fromProc({gone}).isAlive(gone));
}

TEST(ProcFSAncestry, ReadsParentArgumentsAndExecutable) {
    ChildProcess child({subjectPath(), "first arg", "", "gr\xc3\xbcn\xff"});
    ASSERT_TRUE(reachesState(child.pid(), 'S'));
    EXPECT_EQ(ProcFS::parentPID(child.pid()), getpid());
    EXPECT_EQ(ProcFS::arguments(child.pid()), subjectPath() + " first arg  gr\xc3\xbcn\xef\xbf\xbd");
    EXPECT_EQ(ProcFS::executablePath(child.pid()), std::filesystem::canonical(subjectPath()).string());

    ChildProcess zombie({"/bin/true"});
    ASSERT_TRUE(reachesState(zombie.pid(), 'Z'));
    EXPECT_EQ(ProcFS::parentPID(zombie.pid()), getpid());
    EXPECT_EQ(ProcFS::arguments(zombie.pid()), std::nullopt);
    EXPECT_EQ(ProcFS::executablePath(zombie.pid()), std::nullopt);

    for (std::int64_t pid : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{5'000'000'000}}) {
        EXPECT_EQ(ProcFS::parentPID(pid), std::nullopt);
        EXPECT_EQ(ProcFS::arguments(pid), std::nullopt);
        EXPECT_EQ(ProcFS::executablePath(pid), std::nullopt);
    }
}

TEST(ProcFSParsing, StatIsReadAfterTheLastParenthesis) {
    auto stat = ProcFS::parseStat(
        "4711 (a) b (c)) T 1 4711 4711 34816 4711 4194304 91 0 0 0 1 2 0 0 20 -5 3 0 123456 1000 100 "
        "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->pid, 4711);
    EXPECT_EQ(stat->comm, "a) b (c)");
    EXPECT_EQ(stat->state, 'T');
    EXPECT_EQ(stat->ppid, 1);
    EXPECT_EQ(stat->pgrp, 4711);
    EXPECT_EQ(stat->session, 4711);
    EXPECT_EQ(stat->ttyNr, 34816u);
    EXPECT_EQ(stat->tpgid, 4711);
    EXPECT_EQ(stat->nice, -5);
    EXPECT_EQ(stat->threads, 3);
    EXPECT_EQ(stat->startTicks, 123456u);
    EXPECT_EQ(ProcFS::runState(stat->state), RunState::stopped);
    for (char letter : {'R', 'S', 'D', 'T', 't', 'Z', 'X', 'I'}) {
        EXPECT_EQ(RunStates::letter(ProcFS::runState(letter)), letter);
    }
    EXPECT_EQ(ProcFS::runState('?'), RunState::unknown);

    EXPECT_FALSE(ProcFS::parseStat("12 (x) S 1 2 3"));
    EXPECT_FALSE(ProcFS::parseStat("12 x S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"));
    EXPECT_FALSE(ProcFS::parseStat(""));
}

TEST(ProcFSParsing, StartTimeIsTruncatedAndShownLikeCtime) {
    EXPECT_EQ(ProcFS::startTime(1'000'000, 199, 100), 1'000'001);
    EXPECT_EQ(ProcFS::startTime(1'000'000, 200, 100), 1'000'002);
    ScopedEnvironment zone("TZ", "UTC0");
    EXPECT_EQ(startTimeText(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(startTimeText(1796696967), "Tue Dec  8 02:29:27 2026");
    EXPECT_EQ(test::startedAt(1796696967).text(), "Tue Dec  8 02:29:27 2026");
    EXPECT_EQ(ProcessStart{}.text(), "");
    EXPECT_EQ(ProcFS::bootTime("cpu  1 2 3\nintr 5 6\nbtime 1796696967\nprocesses 9\n"), 1796696967);
    EXPECT_EQ(ProcFS::bootTime("cpu  1 2 3\nbtimes 5\n"), std::nullopt);
}

TEST(ProcFSParsing, BootTimeFromClocksOnlyWhereTheSecondIsSettled) {
    struct Case {
        timespec wallBefore, sinceBoot, wallAfter;
        std::optional<std::int64_t> boot;
    };
    const Case cases[] = {
        {{1796696967 + 1000, 400'000'000}, {1000, 100'000'000}, {1796696967 + 1000, 400'050'000}, 1796696967},
        // The nanoseconds borrow a second.
        {{1796696967 + 1000, 100'000'000}, {999, 600'000'000}, {1796696967 + 1000, 100'010'000}, 1796696967},
        // Within a millisecond of a whole second, on either side: /proc/stat says.
        {{1796696967 + 1000, 999'500'000}, {1000, 0}, {1796696967 + 1000, 999'500'100}, std::nullopt},
        {{1796696967 + 1000, 300'000}, {1000, 0}, {1796696967 + 1000, 300'100}, std::nullopt},
        // The wall clock was set between the reads, or the reads lie too far apart to settle it.
        {{1796696967 + 1000, 500'000'000}, {1000, 0}, {1796696967 + 999, 500'000'000}, std::nullopt},
        {{1796696967 + 1000, 500'000'000}, {1000, 0}, {1796696967 + 1000, 502'000'000}, std::nullopt},
        // A wall clock before the boot (set back by hand) settles nothing.
        {{5, 500'000'000}, {1000, 0}, {5, 500'000'100}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ProcFS::bootTimeFromClocks(c.wallBefore, c.sinceBoot, c.wallAfter), c.boot)
            << c.wallBefore.tv_sec << "." << c.wallBefore.tv_nsec << " - " << c.sinceBoot.tv_sec;
    }

    // On this machine the clocks agree with /proc/stat wherever they settle the second.
    auto procStat = FileRead::file("/proc/stat", 1 << 20);
    ASSERT_TRUE(procStat.complete());
    const auto listed = ProcFS::bootTime(procStat.bytes);
    ASSERT_TRUE(listed);
    int settled = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        timespec before{}, boot{}, after{};
        ::clock_gettime(CLOCK_REALTIME, &before);
        ::clock_gettime(CLOCK_BOOTTIME, &boot);
        ::clock_gettime(CLOCK_REALTIME, &after);
        if (auto clocks = ProcFS::bootTimeFromClocks(before, boot, after)) {
            EXPECT_EQ(*clocks, *listed);
            ++settled;
        }
    }
    EXPECT_GT(settled, 0);
}

TEST(ProcFSParsing, ArgumentsWithoutAClosingNulStillCount) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(ProcFS::splitArguments(std::string("a\0b\0", 4)), (Args{"a", "b"}));
    EXPECT_EQ(ProcFS::splitArguments(std::string("a\0b", 3)), (Args{"a", "b"}));
    EXPECT_EQ(ProcFS::splitArguments(std::string("a\0\0c\0", 5)), (Args{"a", "", "c"}));
    EXPECT_EQ(ProcFS::splitArguments(""), Args{});
}

TEST(TTYNamesParsing, DriversAreTriedFromTheLastLine) {
    auto drivers = TTYNames::parseDrivers(
        "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
        "serial               /dev/ttyS       4      64 serial\n"
        "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
        "devfs                /dev/tts/%d     4 64-95 serial\n"
        "unknown              /dev/tty        4 1-63 console\n");
    using Driver = TTYNames::Driver;
    std::vector<Driver> expected = {
        {"tty", 4, 1, 63}, {"tts/", 4, 64, 95}, {"pts", 136, 0, 1048575}, {"ttyS", 4, 64, 64}, {"tty", 5, 0, 0}};
    EXPECT_EQ(drivers, expected);
    TTYNames names;
    EXPECT_EQ(names.name(0, getpid()), "?");
}

}  // namespace
}  // namespace tracker
