// The trust boundaries end to end: a second local user attacks the state
// directory, its documents and the files the daemon opens, and the real
// programs must neither run the attacker's command, write into a file of the
// user's through a planted link, nor hold or continue a process for them.
// Needs root to make the throwaway user; skips (saying so) otherwise.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "Core/JSONFile.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"
#include "Core/StateDir.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using namespace std::chrono_literals;
using test::TempDir;
namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a built program with stdin bytes and extra environment; bounded in time.
Outcome runBuilt(const TempDir& dir, const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& input, const std::vector<std::string>& environment) {
    static int counter = 0;
    const std::string stem = dir.file(".run-" + std::to_string(counter++));
    test::writeFile(stem + ".in", input);
    test::SpawnOptions options;
    options.environment = environment;
    options.stdinPath = stem + ".in";
    options.stdoutPath = stem + ".out";
    options.stderrPath = stem + ".err";
    std::vector<std::string> argv{test::builtProgram(program)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Outcome run;
    {
        test::ChildProcess child(argv, options);
        if (auto status = child.wait(30s)) run.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }
    run.out = test::readFile(stem + ".out");
    run.err = test::readFile(stem + ".err");
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// A local user made for the test and removed with it.
class ThrowawayUser {
public:
    ThrowawayUser() : name_("tarnel-x" + std::to_string(::getpid())) {
        if (test::runProgram({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name_}) != 0) {
            return;
        }
        made_ = true;
        if (passwd* found = ::getpwnam(name_.c_str())) {
            uid_ = found->pw_uid;
            gid_ = found->pw_gid;
        }
    }
    ~ThrowawayUser() {
        if (made_) test::runProgram({"userdel", name_});
    }
    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    bool made() const { return made_ && uid_ != 0; }
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }
    // Runs a shell script as this user; its exit status.
    int run(const std::string& script) const {
        return test::runProgram({"setpriv", "--reuid=" + std::to_string(uid_), "--regid=" + std::to_string(gid_),
                                 "--clear-groups", "--", "/bin/sh", "-c", script});
    }

private:
    std::string name_;
    bool made_ = false;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

class SecondUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) SKIP_OR_FAIL_IN_CI("making a second local user needs root");
        attacker = std::make_unique<ThrowawayUser>();
        if (!attacker->made()) SKIP_OR_FAIL_IN_CI("useradd could not make a throwaway user here");
        // The attacker may look into the test's directory, as into anyone's home, but not write it.
        ::chmod(dir.path().c_str(), 0755);
        state.ensureDirectories();
    }

    // The state directory as an older version left it under umask 000; the attacker's files
    // are planted, then the directory is made private again unless it stays open.
    void plant(const std::string& script, bool reopen = false) {
        ::chmod(state.root().c_str(), 0777);
        ::chmod(state.sessionsDir().c_str(), 0777);
        ASSERT_EQ(attacker->run("cd " + test::shellQuote(state.root()) + " && " + script), 0) << script;
        if (!reopen) makePrivate();
    }
    void makePrivate() {
        ::chmod(state.root().c_str(), 0700);
        ::chmod(state.sessionsDir().c_str(), 0700);
    }

    std::vector<std::string> env(std::vector<std::string> more = {}) const {
        more.push_back("VAZ_ADODIVO_STATE_DIR=" + state.root());
        return more;
    }

    std::string statusInput() const {
        JSON status = *JSONFile::parse(test::statusInputFixture());
        status["rate_limits"]["five_hour"]["used_percentage"] = 42;
        status["rate_limits"]["five_hour"]["resets_at"] = static_cast<double>(std::time(nullptr)) + 3930;
        return status.dump();
    }

    TempDir dir;
    StateDir state{dir.file("state")};
    std::unique_ptr<ThrowawayUser> attacker;
};

TEST_F(SecondUser, NewStateDirectoriesAreTheUsersAloneWhateverTheUmask) {
    StateDir fresh(dir.file("fresh/state"));
    mode_t saved = ::umask(0);
    fresh.ensureDirectories();
    ::umask(saved);
    for (const auto& path : {dir.file("fresh"), fresh.root(), fresh.sessionsDir()}) EXPECT_EQ(modeOf(path), 0700u);
    EXPECT_NE(attacker->run("echo '{}' > " + test::shellQuote(fresh.configPath())), 0);
    EXPECT_FALSE(test::fileExists(fresh.configPath()));
}

TEST_F(SecondUser, TheDisplayCommandRunsOnlyFromTheUsersOwnConfiguration) {
    const std::string mark = dir.file("ran");
    const std::string config = R"({"display_command": "touch )" + mark + R"(; echo pwned"})";
    struct Case {
        const char* what;
        std::function<void()> setUp;
        const char* why;
    };
    const std::vector<Case> cases = {
        {"a directory writable by others", [&] { plant("echo '" + config + "' > config.json", true); }, "chmod 700"},
        {"a config.json of another user", [&] { plant("echo '" + config + "' > config.json"); }, "not to you"},
        {"a config.json writable by others",
         [&] {
             test::writeFile(state.configPath(), "{}");
             ::chmod(state.root().c_str(), 0755);
             ::chmod(state.configPath().c_str(), 0666);
             ASSERT_EQ(attacker->run("echo '" + config + "' > " + test::shellQuote(state.configPath())), 0);
         },
         "chmod go-w"},
    };
    for (const auto& c : cases) {
        fs::remove(state.configPath());
        c.setUp();
        Outcome run = runBuilt(dir, "tarnel-tee", {}, statusInput(), env({"LST_TEE_DEBUG=1"}));
        EXPECT_EQ(run.status, 0) << c.what;
        EXPECT_FALSE(test::fileExists(mark)) << c.what;
        EXPECT_EQ(run.out.rfind("\u23F3 5h 42%", 0), 0u) << c.what << ": " << run.out;
        EXPECT_TRUE(contains(run.err, c.why)) << c.what << ": " << run.err;
        makePrivate();
    }
    // The user's own configuration still runs.
    fs::remove(state.configPath());
    test::writeFile(state.configPath(), config);
    ::chmod(state.configPath().c_str(), 0600);
    EXPECT_EQ(runBuilt(dir, "tarnel-tee", {}, statusInput(), env()).out, "pwned\n");
    EXPECT_TRUE(test::fileExists(mark));
}

TEST_F(SecondUser, TheDaemonRefusesAnOpenDirectoryAndFollowsNoPlantedLink) {
    for (const char* name : {"daemon.lock", "daemon.log"}) {
        const std::string precious = dir.file("authorized_keys");
        test::writeFile(precious, "ssh-ed25519 AAAA mine\n");
        fs::remove(state.root() + "/" + name);
        plant("ln -s " + test::shellQuote(precious) + " " + name, true);

        Outcome open = runBuilt(dir, "tarnel-vovivida", {"--once", "--dry-run"}, "", env());
        EXPECT_EQ(open.status, 2) << name;
        EXPECT_TRUE(contains(open.err, "chmod 700 " + state.root())) << open.err;

        makePrivate();
        Outcome closed = runBuilt(dir, "tarnel-vovivida", {"--once", "--dry-run"}, "", env());
        EXPECT_EQ(closed.status, std::string(name) == "daemon.lock" ? 3 : 0) << name << ": " << closed.err;
        EXPECT_EQ(test::readFile(precious), "ssh-ed25519 AAAA mine\n") << name;
        fs::remove(state.root() + "/" + name);
    }
    // What the daemon makes is the user's alone.
    ASSERT_EQ(runBuilt(dir, "tarnel-vovivida", {"--once", "--dry-run"}, "", env()).status, 0);
    EXPECT_EQ(modeOf(state.lockPath()), 0600u);
    EXPECT_EQ(modeOf(state.logPath()), 0600u);
}

TEST_F(SecondUser, PlantedDocumentsHoldAndContinueNothing) {
    // A job the user stopped; a planted pause names it as the shell of a session due to resume.
    test::ChildProcess job({"sleep", "60"});
    ASSERT_EQ(::kill(job.pid(), SIGSTOP), 0);
    ASSERT_TRUE(test::waitUntil([&] { return test::processState(job.pid()) == 'T'; }));
    const std::string self = std::to_string(::getpid());
    const JSON pause = {{"paused_at", 1},
                        {"resume_at", 1},
                        {"targets", JSON::array({{{"pid", job.pid()},
                                                  {"pid_start", test::psStart(job.pid())},
                                                  {"shell_pid", job.pid()},
                                                  {"session_id", "x"}}})}};
    const JSON record = {{"session_id", "planted"},
                         {"pid", ::getpid()},
                         {"pid_start", test::psStart(::getpid())},
                         {"ts", std::time(nullptr)},
                         {"rate_limits", {{"five_hour", {{"used_percentage", 99}}}}}};
    plant("echo '" + pause.dump() + "' > pause.json && echo '" + record.dump() + "' > sessions/planted.json");

    Outcome status = runBuilt(dir, "tarnel", {"status", "--json"}, "", env());
    ASSERT_EQ(status.status, 0) << status.err;
    JSON seen = JSON::parse(status.out);
    EXPECT_EQ(seen["records"], 0);
    EXPECT_TRUE(seen["pause"].is_null());

    Outcome daemon = runBuilt(dir, "tarnel-vovivida", {"--once"}, "", env());
    EXPECT_EQ(daemon.status, 0) << daemon.err;
    EXPECT_EQ(test::processState(job.pid()), 'T') << daemon.err;
    EXPECT_TRUE(test::fileExists(state.pausePath()));  // not adopted, not removed
}

TEST_F(SecondUser, ADaemonNeverHoldsAnotherUsersProcess) {
    // A Claude Code of the other user's, named by a record in this user's own (trusted) state directory.
    test::ChildProcess foreign({"setpriv", "--reuid=" + std::to_string(attacker->uid()),
                                "--regid=" + std::to_string(attacker->gid()), "--clear-groups", "--", "/bin/bash", "-c",
                                "exec -a claude sleep 60"});
    ASSERT_TRUE(test::waitUntil([&] { return ProcessTable::fromSystem({foreign.pid()}).claudes().size() == 1; }));
    auto row = ProcessTable::fromSystem({foreign.pid()}).get(foreign.pid());
    ASSERT_TRUE(row);
    Record record;
    record.sessionID = "foreign";
    record.pid = foreign.pid();
    record.pidStart = row->start.text();
    record.startID = row->start.id;
    record.ts = static_cast<double>(std::time(nullptr));
    record.shape = Shape::a;
    record.rateLimits["five_hour"] =
        JSONObject{{"used_percentage", 99}, {"resets_at", static_cast<double>(std::time(nullptr)) + 3600}};
    state.write(record, false);

    Outcome daemon = runBuilt(dir, "tarnel-vovivida", {"--once", "--notify", "off"}, "", env());
    EXPECT_EQ(daemon.status, 0) << daemon.err;
    const std::string log = test::readFile(state.logPath());
    EXPECT_NE(log.find("[freezeTarget] pid " + std::to_string(foreign.pid()) + " failed identity verification"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("pid=" + std::to_string(foreign.pid()) + " (session"), std::string::npos) << log;
    EXPECT_NE(test::processState(foreign.pid()), 'T');
}

TEST_F(SecondUser, InstallKeepsTheSettingsModeAndOwner) {
    const std::string settings = dir.file("settings.json");
    test::writeFile(settings, R"({"env": {"API_KEY": "secret"}, "statusLine": "~/bin/s.sh"})");
    ASSERT_EQ(::chown(settings.c_str(), attacker->uid(), attacker->gid()), 0);
    ::chmod(settings.c_str(), 0600);
    const std::string tee = test::builtProgram("tarnel-tee");
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"install", "--tee", tee, "--settings", settings}, {"restore", "--settings", settings}}) {
        const std::string& command = arguments.front();
        Outcome run = runBuilt(dir, "tarnel", arguments, "", env());
        ASSERT_EQ(run.status, 0) << run.err;
        struct stat info {};
        ASSERT_EQ(::stat(settings.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << command;
        EXPECT_EQ(info.st_uid, attacker->uid()) << command;
        EXPECT_EQ(info.st_gid, attacker->gid()) << command;
    }
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (contains(entry.path().filename().string(), ".bak-")) {
            EXPECT_EQ(modeOf(entry.path()), 0600u);
        }
    }
}

}  // namespace
}  // namespace tracker
