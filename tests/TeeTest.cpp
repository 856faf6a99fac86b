// tarnel-tee end to end: the real program run by the Claude Code stand-in in
// the three shapes a session can have, and run directly for its status line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "Core/JSONFile.hpp"
#include "Core/NumberText.hpp"
#include "Core/StateDir.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using namespace std::chrono_literals;
using test::psStart;
using test::ScopedEnv;
using test::TempDir;

std::string tee() {
    return test::builtProgram("tarnel-tee");
}

std::optional<JSONObject> waitForRecord(const std::string& path) {
    std::optional<JSONObject> record;
    test::waitUntil([&] {
        record = JSONFile::readObject(path);
        return record.has_value();
    });
    return record;
}

struct TeeRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the tee directly with stdin bytes and extra environment.
TeeRun runTee(const TempDir& dir, const std::string& input, std::vector<std::string> environment) {
    test::writeFile(dir.file("stdin"), input);
    std::filesystem::remove(dir.file("stdout"));
    std::filesystem::remove(dir.file("stderr"));
    test::SpawnOptions options;
    options.environment = std::move(environment);
    options.stdinPath = dir.file("stdin");
    options.stdoutPath = dir.file("stdout");
    options.stderrPath = dir.file("stderr");
    test::ChildProcess child({tee()}, options);
    TeeRun run;
    if (auto status = child.wait(20s)) run.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    run.out = test::readFile(dir.file("stdout"));
    run.err = test::readFile(dir.file("stderr"));
    return run;
}

std::string statusInput(const std::string& sessionID, double used, double resetsAt) {
    JSON status = *JSONFile::parse(test::statusInputFixture());
    status["session_id"] = sessionID;
    status["rate_limits"]["five_hour"]["used_percentage"] = used;
    status["rate_limits"]["five_hour"]["resets_at"] = resetsAt;
    return status.dump();
}

class TeeUnderClaude : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    test::StandIn standIn{dir.path()};
    const double resetsAt = static_cast<double>(std::time(nullptr)) + 7200;

    void SetUp() override {
        standIn.withCommand(tee()).withFiveHour(41.5, resetsAt);
        standIn.extra = {"--session-id", "sess-under-test"};
    }
    std::string recordPath() const { return state.recordPath("sess-under-test"); }

    void expectRecordOf(const JSONObject& record, std::int64_t pid, const char* shape) {
        EXPECT_EQ(record.at("pid"), pid);
        EXPECT_EQ(record.at("pid_start"), psStart(pid));
        EXPECT_EQ(record.at("shape"), shape);
        EXPECT_EQ(record.at("session_id"), "sess-under-test");
        EXPECT_EQ(record.at("schema_version"), 1);
        EXPECT_TRUE(record.at("ts").is_number_integer());
        const JSON& fiveHour = record.at("rate_limits").at("five_hour");
        EXPECT_EQ(fiveHour.at("used_percentage"), 41.5);
        EXPECT_EQ(fiveHour.at("resets_at"), resetsAt);
        // Members the tee does not read are kept verbatim too.
        EXPECT_EQ(record.at("rate_limits").at("seven_day").at("used_percentage"), 12);
    }
};

TEST_F(TeeUnderClaude, ShapeAWithoutATerminal) {
    test::SpawnOptions options;
    options.newSession = true;
    options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
    test::ChildProcess claude(standIn.arguments(), options);
    auto record = waitForRecord(recordPath());
    ASSERT_TRUE(record) << "no record at " << recordPath();
    expectRecordOf(*record, claude.pid(), "A");
    EXPECT_TRUE(record->at("parent_shell_pid").is_null());
    EXPECT_EQ(record->at("exempt"), false);
    EXPECT_EQ(record->at("version"), "2.1.328");
    // And the minimal line reached Claude Code's status line.
    EXPECT_TRUE(test::waitUntil([&] { return test::readFile(standIn.statusFile).find("\u23F3 5h 42% \u00B7 ") == 0; }))
        << test::readFile(standIn.statusFile);
}

TEST_F(TeeUnderClaude, ExemptOnlyForExactlyOne) {
    for (const auto& [value, exempt] :
         std::vector<std::pair<std::string, bool>>{{"1", true}, {"yes", false}, {"true", false}}) {
        std::filesystem::remove(recordPath());
        test::SpawnOptions options;
        options.newSession = true;
        options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root(), "VAZ_ADODIVO_EXEMPT=" + value};
        test::ChildProcess claude(standIn.arguments(), options);
        auto record = waitForRecord(recordPath());
        ASSERT_TRUE(record);
        EXPECT_EQ(record->at("exempt"), exempt) << value;
    }
}

TEST_F(TeeUnderClaude, ShapeBForegroundJobOfAnInteractiveShell) {
    ScopedEnv env("VAZ_ADODIVO_STATE_DIR", state.root());
    test::TmuxServer tmux;
    std::int64_t shell = tmux.newSession("b", "exec bash --norc --noprofile -i");
    ASSERT_GT(shell, 0);
    tmux.sendKeys("b", standIn.commandLine());
    auto record = waitForRecord(recordPath());
    ASSERT_TRUE(record) << tmux.capture("b");
    auto children = test::childrenOf(shell);
    ASSERT_EQ(children.size(), 1u);
    expectRecordOf(*record, children[0], "B");
    EXPECT_EQ(record->at("parent_shell_pid"), shell);
}

TEST_F(TeeUnderClaude, ShapeCDirectlyUnderTmux) {
    ScopedEnv env("VAZ_ADODIVO_STATE_DIR", state.root());
    test::TmuxServer tmux;
    std::int64_t pane = tmux.newSession("c", "exec " + standIn.commandLine());
    ASSERT_GT(pane, 0);
    auto record = waitForRecord(recordPath());
    ASSERT_TRUE(record) << tmux.capture("c");
    expectRecordOf(*record, pane, "C");
    EXPECT_TRUE(record->at("parent_shell_pid").is_null());
}

TEST_F(TeeUnderClaude, UnsafeSessionIDsWriteNothingButTheLineStillShows) {
    for (const std::string id : {"../escaped", ".hidden", "a/b"}) {
        standIn.extra = {"--session-id", id, "--refreshes", "2"};
        test::SpawnOptions options;
        options.newSession = true;
        options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
        std::filesystem::remove(standIn.statusFile);
        test::ChildProcess claude(standIn.arguments(), options);
        ASSERT_TRUE(claude.wait(20s));
        EXPECT_EQ(test::readFile(standIn.statusFile).find("\u23F3 5h 42%"), 0u) << id;
    }
    // Nothing anywhere in the state directory, nor beside it.
    EXPECT_FALSE(test::fileExists(state.root() + "/escaped.json"));
    EXPECT_FALSE(test::fileExists(state.sessionsDir() + "/.hidden.json"));
    EXPECT_FALSE(test::fileExists(state.sessionsDir() + "/a"));
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(state.root(), ec)) {
        EXPECT_FALSE(entry.is_regular_file()) << entry.path();
    }
}

// Claude Code's input with a flaw anywhere, or an id too long for a plain file name: the tee, run
// under a process named claude, still records the session and shows the line.
TEST(TeeUnderAnyClaude, FlawedInputKeepsTheRecordAndTheLine) {
    TempDir dir;
    StateDir state(dir.file("state"));
    std::filesystem::copy_file("/bin/sh", dir.file("claude"));
    const double resetsAt = static_cast<double>(std::time(nullptr)) + 3930;
    const std::string longID = std::string(250, 'x');
    for (const auto& [id, flaw] : std::vector<std::pair<std::string, std::string>>{
             {"bad-byte", "\"\xff\xfe\""}, {"surrogate", R"("\udc00")"}, {"huge", "1e400"}, {longID, "1"}}) {
        std::string input = statusInput(id, 42, resetsAt);
        input.insert(1, R"("cwd": )" + flaw + ", ");
        test::writeFile(dir.file("in"), input);
        const std::string script = test::shellQuote(tee()) + " < " + test::shellQuote(dir.file("in")) + " > " +
                                   test::shellQuote(dir.file("out")) + "; true";
        test::SpawnOptions options;
        options.environment = {"VAZ_ADODIVO_STATE_DIR=" + state.root()};
        test::ChildProcess claude({dir.file("claude"), "-c", script}, options);
        ASSERT_TRUE(claude.wait(20s));
        EXPECT_EQ(test::readFile(dir.file("out")).rfind("\u23F3 5h 42% \u00B7 ", 0), 0u) << id;
        auto record = JSONFile::readObject(state.recordPath(id));
        ASSERT_TRUE(record) << id;
        EXPECT_EQ(record->at("session_id"), id);
    }
    EXPECT_LT(StateDir::recordFileName(longID).size(), 255u - 30u);
}

// Input far past any status document is not read whole: memory stays small.
TEST(TeeBounds, HugeInputIsNotReadWhole) {
    TempDir dir;
    const std::string input = dir.file("huge");
    test::writeFile(input, "{");
    std::filesystem::resize_file(input, 100u * 1024u * 1024u);
    pid_t child = fork();
    if (child == 0) {
        ::dup2(::open(input.c_str(), O_RDONLY), 0);
        ::dup2(::open("/dev/null", O_WRONLY), 1);
        ::execl(tee().c_str(), "tarnel-tee", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    struct rusage usage {};
    ASSERT_EQ(::wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak RSS in kB";
}

class TeeDirect : public ::testing::Test {
protected:
    TempDir dir;
    StateDir state{dir.file("state")};
    std::vector<std::string> env(std::vector<std::string> more = {}) const {
        more.push_back("VAZ_ADODIVO_STATE_DIR=" + state.root());
        return more;
    }
};

TEST_F(TeeDirect, MinimalLine) {
    const double now = static_cast<double>(std::time(nullptr));
    // 3930 s left reads 1h5m even if a second passes before the tee looks.
    auto run = runTee(dir, statusInput("s", 41.5, now + 3930), env());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\u23F3 5h 42% \u00B7 1h5m\n");
    EXPECT_EQ(run.err, "");

    // Half a point below the threshold: rounded up, and warned of.
    run = runTee(dir, statusInput("s", 89.5, now - 10), env());
    EXPECT_EQ(run.out, "\u23F3 5h 90% \u00B7 hold at 90%\n");
}

TEST_F(TeeDirect, DisplayCommandGetsTheInputByteForByte) {
    state.ensureDirectories();
    state.write(TrackerConfig::fromJSON(
        {{"display_command", "cat > " + test::shellQuote(dir.file("seen")) + "; printf 'my line'"}}));
    // Odd spacing and a trailing blank line must survive untouched.
    std::string input = statusInput("s", 50, 1) + "  \n\n";
    auto run = runTee(dir, input, env());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(test::readFile(dir.file("seen")), input);
    EXPECT_EQ(run.out, "my line");

    // Not JSON at all: no record, the display command still runs.
    run = runTee(dir, "not json \xff", env({"LST_TEE_DEBUG=1"}));
    EXPECT_EQ(test::readFile(dir.file("seen")), "not json \xff");
    EXPECT_EQ(run.out, "my line");
    EXPECT_NE(run.err.find("] no session_id on stdin; not recording\n"), std::string::npos) << run.err;
}

TEST_F(TeeDirect, AStandingHoldShowsOnTheLineAndReachesTheDisplayCommand) {
    const double now = static_cast<double>(std::time(nullptr));
    state.ensureDirectories();
    Pause pause;
    pause.pausedAt = now;
    pause.resumeAt = now + 600;
    pause.targets.resize(2);
    state.write(pause);
    auto run = runTee(dir, statusInput("s", 93, now + 3930), env());
    EXPECT_EQ(run.out, "\u23F3 5h 93% \u00B7 \u23F8 2 held until " + NumberText::clockText(now + 600) + "\n");

    state.write(
        TrackerConfig::fromJSON({{"display_command", "printf '%s|%s' \"$VAZ_ADODIVO_HELD\" \"$VAZ_ADODIVO_NOTICE\""}}));
    run = runTee(dir, statusInput("s", 93, now + 3930), env());
    EXPECT_EQ(run.out, "2|\u23F8 2 held until " + NumberText::clockText(now + 600));

    // A session still waiting for its safe point is not held yet.
    pause.targets.resize(3);
    pause.targets[2].sessionID = "streaming";
    pause.waiting["streaming"] = now + 60;
    state.write(pause);
    run = runTee(dir, statusInput("s", 93, now + 3930), env());
    EXPECT_EQ(run.out, "2|\u23F8 2 held until " + NumberText::clockText(now + 600));
}

// The threshold a session's line warns about is the running daemon's, which its command line or environment
// may have set; config.json's where no daemon runs.
TEST_F(TeeDirect, TheThresholdInForceIsTheDaemons) {
    const double now = static_cast<double>(std::time(nullptr));
    state.ensureDirectories();
    state.write(TrackerConfig::fromJSON({{"display_command", "printf '%s' \"$VAZ_ADODIVO_THRESHOLD\""}}));
    DaemonPIDFile daemon;
    daemon.pid = ::getpid();  // a process that runs
    daemon.threshold = 70;
    state.write(daemon);
    EXPECT_EQ(runTee(dir, statusInput("s", 67, now + 3930), env()).out, "70");
    daemon.pid = 999'999'999;  // gone: its threshold is no longer in force
    state.write(daemon);
    EXPECT_EQ(runTee(dir, statusInput("s", 67, now + 3930), env()).out, "90");
}

TEST_F(TeeDirect, DebugNotesOnlyWhenAskedAndNothingWithoutAFigure) {
    auto quiet = runTee(dir, "{}", env({"LST_TEE_DEBUG=true"}));
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");

    auto loud = runTee(dir, "[]", env({"LST_TEE_DEBUG=1"}));
    EXPECT_EQ(loud.status, 0);
    EXPECT_EQ(loud.out, "");
    EXPECT_EQ(loud.err.rfind("[tarnel-tee ", 0), 0u) << loud.err;
    for (const char* note :
         {"ms] stdin read: 2 bytes\n", "] no session_id on stdin; not recording\n", "] record written: false\n",
          "] no display_command and no five_hour block; printing nothing\n", "] done\n"}) {
        EXPECT_NE(loud.err.find(note), std::string::npos) << note << "\n" << loud.err;
    }
}

TEST_F(TeeDirect, NoClaudeAncestorMeansNoRecord) {
    auto run = runTee(dir, statusInput("lonely", 10, 1), env({"LST_TEE_DEBUG=1"}));
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("] no claude ancestor within 8 hops\n"), std::string::npos) << run.err;
    EXPECT_FALSE(test::fileExists(state.recordPath("lonely")));
    EXPECT_EQ(run.out, "\u23F3 5h 10%\n");
}

TEST_F(TeeDirect, ExitsZeroWhenNothingWorks) {
    // A state directory that cannot exist and a display command that cannot run.
    test::writeFile(dir.file("plain"), "x");
    auto run = runTee(dir, statusInput("s", 10, 1), {"VAZ_ADODIVO_STATE_DIR=" + dir.file("plain/state")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\u23F3 5h 10%\n");
}

}  // namespace
}  // namespace tracker
