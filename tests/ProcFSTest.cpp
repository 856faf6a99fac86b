// The rows read from /proc stand in for a ps run on Linux, so they must be the
// very text procps ps prints: every test here starts real processes in the
// states that matter and compares the two listings field by field.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/ProcessTable.hpp"
#include "Core/Spawn.hpp"
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

// ps escapes command lines according to its locale; the rows from /proc
// follow a UTF-8 locale.
class ProcFSAgainstPS : public ::testing::Test {
protected:
    ScopedEnvironment locale_{"LC_ALL", "C.UTF-8"};
    ScopedEnvironment columns_{"COLUMNS", nullptr};

    static ProcessTable fromPS() {
        return ProcessTable::fromPSOutput(Spawn::capture({"/bin/ps", "-ax", "-o", std::string(ProcessTable::columns)}),
                                          true);
    }
    // The eight columns ps prints; the start id and the owner, which ps does not print, are checked apart.
    static ProcessTable fromProc(const std::vector<std::int64_t>& pids = {}) {
        auto rows = ProcFS::read(pids);
        for (auto& row : rows) {
            row.startID.clear();
            row.uid = -1;
        }
        return ProcessTable(rows);
    }

    // Both listings hold the pid with the same eight fields.
    static void expectSameRow(const ProcessTable& ps, const ProcessTable& proc, std::int64_t pid,
                              const std::string& what) {
        SCOPED_TRACE(what + " (pid " + std::to_string(pid) + ")");
        auto expected = ps.get(pid);
        auto actual = proc.get(pid);
        ASSERT_TRUE(expected.has_value()) << "ps does not list it";
        ASSERT_TRUE(actual.has_value()) << "/proc gives no row";
        EXPECT_EQ(actual->pid, expected->pid);
        EXPECT_EQ(actual->ppid, expected->ppid);
        EXPECT_EQ(actual->pgid, expected->pgid);
        EXPECT_EQ(actual->tpgid, expected->tpgid);
        EXPECT_EQ(actual->stat, expected->stat);
        EXPECT_EQ(actual->tty, expected->tty);
        EXPECT_EQ(actual->lstart, expected->lstart);
        if (expected->command.size() < 1000) {
            EXPECT_EQ(actual->command, expected->command);
        } else if (expected->command.size() > 131000) {
            // ps cuts its output line at 128 KiB; up to there the texts agree.
            EXPECT_EQ(actual->command.compare(0, expected->command.size(), expected->command), 0);
        } else {
            EXPECT_TRUE(actual->command == expected->command)
                << "commands of " << actual->command.size() << " and " << expected->command.size() << " bytes differ";
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
        return stat && stat->threads == 3 &&
               ProcFS::locksMemory(test::readFile("/proc/" + std::to_string(threaded.pid()) + "/status"));
    }));
    for (auto& [what, child] : subjects) {
        if (child.get() != &stopped && child.get() != &zombie) {
            ASSERT_TRUE(reachesState(child->pid(), 'S')) << what;
        }
    }

    ProcessTable proc = fromProc();
    ProcessTable ps = fromPS();
    for (auto& [what, child] : subjects) expectSameRow(ps, proc, child->pid(), what);

    // The letters themselves, so that a ps that changed its mind shows up.
    EXPECT_EQ(proc.get(sleeping.pid())->stat, "S");
    EXPECT_EQ(proc.get(stopped.pid())->stat, "T");
    EXPECT_EQ(proc.get(zombie.pid())->command, "[true] <defunct>");
    EXPECT_EQ(proc.get(threaded.pid())->stat, "SLl");
    EXPECT_EQ(proc.get(subjects[4].second->pid())->stat, "SN");
    if (geteuid() == 0) {
        EXPECT_EQ(proc.get(subjects[5].second->pid())->stat, "S<");
    }
    EXPECT_EQ(proc.get(subjects[7].second->pid())->stat, "Ss");
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
            ProcessTable ps = fromPS();
            agreed = proc.get(busy) && proc.get(busy) == ps.get(busy);
        }
        EXPECT_TRUE(agreed) << "pid " << busy;
    }
    ProcessTable proc = fromProc();
    ProcessTable ps = fromPS();
    expectSameRow(ps, proc, onTerminal, "command under script");
    expectSameRow(ps, proc, pane, "tmux pane");
    auto row = proc.get(onTerminal);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->tty.rfind("pts/", 0), 0u) << row->tty;
    EXPECT_EQ(row->stat, "Ss+");
    EXPECT_TRUE(row->hasTTY());
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
    ProcessTable ps = fromPS();
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
    ProcessTable ps = fromPS();
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
        ProcessTable ps = fromPS();
        std::map<std::int64_t, std::string> now;
        for (const auto& [pid, expected] : ps.byPID) {
            auto actual = proc.get(pid);
            if (!actual || actual->command != expected.command) continue;
            if (round == 0) ++compared;
            if (actual->lstart != expected.lstart || actual->tty != expected.tty || actual->ppid != expected.ppid ||
                actual->pgid != expected.pgid) {
                now[pid] = expected.command + ": ps " + expected.lstart + " " + expected.tty + ", /proc " +
                           actual->lstart + " " + actual->tty;
            }
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
        inUTC = fromProc({subject.pid()}).get(subject.pid())->lstart;
    }
    ScopedEnvironment zone("TZ", "IST-5:30");
    ProcessTable proc = fromProc({subject.pid()});
    ProcessTable ps = fromPS();
    expectSameRow(ps, proc, subject.pid(), "five and a half hours east");
    EXPECT_NE(proc.get(subject.pid())->lstart, inUTC);
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
    EXPECT_EQ(fromProc({other.pid()}).get(other.pid())->stat.front(), 'T');
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
    EXPECT_EQ(ProcFS::stateLetters(*stat, true), "T<Lsl+");

    EXPECT_FALSE(ProcFS::parseStat("12 (x) S 1 2 3"));
    EXPECT_FALSE(ProcFS::parseStat("12 x S 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20"));
    EXPECT_FALSE(ProcFS::parseStat(""));
}

TEST(ProcFSParsing, StartTimeIsTruncatedAndShownLikeCtime) {
    EXPECT_EQ(ProcFS::startTime(1'000'000, 199, 100), 1'000'001);
    EXPECT_EQ(ProcFS::startTime(1'000'000, 200, 100), 1'000'002);
    ScopedEnvironment zone("TZ", "UTC0");
    EXPECT_EQ(ProcFS::startTimeText(0), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(ProcFS::startTimeText(1796696967), "Tue Dec  8 02:29:27 2026");
    EXPECT_EQ(ProcFS::startTimeText(1796696967).size(), static_cast<std::size_t>(lstartWidth));
    EXPECT_EQ(ProcFS::bootTime("cpu  1 2 3\nintr 5 6\nbtime 1796696967\nprocesses 9\n"), 1796696967);
    EXPECT_EQ(ProcFS::bootTime("cpu  1 2 3\nbtimes 5\n"), std::nullopt);
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
