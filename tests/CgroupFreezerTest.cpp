#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "CgroupGuard.hpp"
#include "Daemon/HoldingSignaller.hpp"
#include "Platform/ProcessState.hpp"
#include "Platform/linux/CgroupFreezer.hpp"
#include "RealWorld.hpp"
#include "SkipOrFailInCI.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::ChildProcess;
using test::FreezeGroupGuard;
using test::readHeartbeat;
using test::StandIn;
using test::TempDir;
using test::TestCgroup;
using test::waitUntil;

struct Messages {
    std::vector<std::string> lines;
    LogHook hook() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

TEST(CgroupV2Mount, FindsTheUnifiedMountBesideTheV1Controllers) {
    std::string hybrid =
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "37 31 0:34 / /sys/fs/cgroup/freezer rw,relatime shared:12 - cgroup cgroup rw,freezer\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:9 master:3 - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(CgroupV2::mountIn(hybrid), (CgroupV2::Mount{"/sys/fs/cgroup/unified", "/"}));
    EXPECT_EQ(CgroupV2::mountIn("29 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n"),
              (CgroupV2::Mount{"/sys/fs/cgroup", "/"}));
}

TEST(CgroupV2Mount, NoneWithOnlyV1ControllersOrAMalformedLine) {
    EXPECT_EQ(CgroupV2::mountIn("37 31 0:34 / /sys/fs/cgroup/freezer rw - cgroup cgroup rw,freezer\n"), std::nullopt);
    EXPECT_EQ(CgroupV2::mountIn("41 31 0:38 / - cgroup2 cgroup2 rw\n"), std::nullopt);
    EXPECT_EQ(CgroupV2::mountIn("cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"), std::nullopt);
    EXPECT_EQ(CgroupV2::mountIn(""), std::nullopt);
}

TEST(CgroupV2Mount, DecodesEscapedPathsAndKeepsThePartOfTheTreeShown) {
    auto mount = CgroupV2::mountIn("50 23 0:40 /user.slice /mnt/my\\040cgroups rw - cgroup2 cgroup2 rw\n");
    ASSERT_TRUE(mount);
    EXPECT_EQ(mount->path, "/mnt/my cgroups");
    EXPECT_EQ(mount->root, "/user.slice");
}

TEST(CgroupV2Path, TakesTheUnifiedLineOfAHybridCgroupFile) {
    EXPECT_EQ(CgroupV2::pathIn("9:name=systemd:/user.slice\n4:memory:/x\n0::/user.slice/user-1000.slice/"
                               "session-2.scope\n"),
              "/user.slice/user-1000.slice/session-2.scope");
    EXPECT_EQ(CgroupV2::pathIn("0::/\n"), "/");
    EXPECT_EQ(CgroupV2::pathIn("1:name=systemd:/\n"), std::nullopt);
    EXPECT_EQ(CgroupV2::pathIn("0::relative\n"), std::nullopt);
    EXPECT_EQ(CgroupV2::pathIn(""), std::nullopt);
}

TEST(CgroupV2Path, MapsCgroupPathsToDirectoriesUnderTheMount) {
    CgroupV2::Mount whole{"/sys/fs/cgroup", "/"};
    EXPECT_EQ(CgroupV2::directoryFor(whole, "/"), "/sys/fs/cgroup");
    EXPECT_EQ(CgroupV2::directoryFor(whole, "/a/b.scope"), "/sys/fs/cgroup/a/b.scope");
    EXPECT_EQ(CgroupV2::directoryFor(whole, "/../elsewhere"), std::nullopt);
    CgroupV2::Mount part{"/mnt/cg", "/user.slice"};
    EXPECT_EQ(CgroupV2::directoryFor(part, "/user.slice/app.scope"), "/mnt/cg/app.scope");
    EXPECT_EQ(CgroupV2::directoryFor(part, "/user.slice"), "/mnt/cg");
    EXPECT_EQ(CgroupV2::directoryFor(part, "/user.slicex/app.scope"), std::nullopt);
    EXPECT_EQ(CgroupV2::directoryFor(part, "/system.slice"), std::nullopt);
}

TEST(CgroupV2Path, ReadsKeyedValues) {
    EXPECT_EQ(CgroupV2::keyedValue("populated 1\nfrozen 0\n", "frozen"), "0");
    EXPECT_EQ(CgroupV2::keyedValue("populated 1\nfrozen 1\n", "populated"), "1");
    EXPECT_EQ(CgroupV2::keyedValue("populated 1\n", "frozen"), std::nullopt);
    EXPECT_EQ(CgroupV2::keyedValue("frozenx 1\n", "frozen"), std::nullopt);
}

TEST(CgroupFreezerNames, OnlyThePrefixFollowedByAPidIsOurs) {
    EXPECT_TRUE(CgroupFreezer::isGroupName("tarnel-freeze-1234"));
    EXPECT_FALSE(CgroupFreezer::isGroupName("tarnel-freeze-"));
    EXPECT_FALSE(CgroupFreezer::isGroupName("tarnel-freeze-12a"));
    EXPECT_FALSE(CgroupFreezer::isGroupName("tarnel-freeze-99999999999"));
    EXPECT_FALSE(CgroupFreezer::isGroupName("session-2.scope"));
}

TEST(CgroupFreezerUnavailable, SaysWhyWithoutAMountOrAProcess) {
    CgroupFreezer noMount({}, std::nullopt);
    auto attempt = noMount.freeze(getpid());
    EXPECT_FALSE(attempt.held);
    EXPECT_EQ(attempt.whyNot, "no cgroup2 file system is mounted");
    EXPECT_FALSE(noMount.cont(getpid()));
    EXPECT_FALSE(noMount.isHeld(getpid()));
    EXPECT_TRUE(noMount.heldPIDs().empty());

    CgroupFreezer freezer;
    std::int64_t gone;
    {
        ChildProcess child({"true"});
        child.wait();
        gone = child.pid();
    }
    EXPECT_FALSE(freezer.freeze(gone).held);
    EXPECT_FALSE(freezer.freeze(1).held);
    EXPECT_FALSE(freezer.freeze(0).held);
}

// Tests that freeze real processes: they need a cgroup2 mount this process may write.
class CgroupFreezing : public ::testing::Test {
protected:
    void SetUp() override {
        auto mount = CgroupV2::mount();
        if (!mount) SKIP_OR_FAIL_IN_CI("no cgroup2 file system is mounted here");
        TestCgroup probe("tarnel-probe");
        if (!probe.made()) SKIP_OR_FAIL_IN_CI("the cgroup2 tree below this process cannot be written here");
        chmod(directory.path().c_str(), 0777);
    }

    // A stand-in that refreshes every 50 ms, running and beating.
    std::unique_ptr<ChildProcess> startStandIn(const StandIn& standIn) {
        auto child = std::make_unique<ChildProcess>(standIn.arguments(50));
        EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
        return child;
    }

    TempDir directory;
};

TEST_F(CgroupFreezing, HoldsAProcessThatIsSentSIGCONTAndReleasesItToItsOwnCgroup) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    Messages messages;
    CgroupFreezer freezer(messages.hook());

    ASSERT_TRUE(freezer.stop(child->pid()));
    EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), child->pid()), guard.group());
    EXPECT_EQ(CgroupV2::keyedValue(CgroupV2::read(guard.group() + "/cgroup.events").value_or(""), "frozen"), "1");
    EXPECT_TRUE(freezer.isHeld(child->pid()));
    auto held = freezer.heldPIDs();
    EXPECT_NE(std::find(held.begin(), held.end(), child->pid()), held.end());

    // What a terminal multiplexer does to a stopped child changes nothing here.
    kill(child->pid(), SIGCONT);
    EXPECT_TRUE(test::expectStaysHeld(child->pid(), standIn.heartbeat, std::chrono::milliseconds(600)));

    ASSERT_TRUE(freezer.cont(child->pid()));
    EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), child->pid()), guard.parent());
    EXPECT_FALSE(test::fileExists(guard.group()));
    EXPECT_FALSE(freezer.isHeld(child->pid()));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_TRUE(messages.lines.empty());
}

// A process that starts children all the time: released, nothing it starts can be left in the group (which
// kept the group alive when the group was unfrozen before its processes were moved out).
TEST_F(CgroupFreezing, AReleaseLeavesNoGroupBehindEvenWhenTheProcessForksAllTheTime) {
    ChildProcess forker({"/bin/sh", "-c", "while :; do /bin/true & wait; done"});
    FreezeGroupGuard guard(forker.pid());
    CgroupFreezer freezer;
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(freezer.stop(forker.pid())) << round;
        ASSERT_TRUE(freezer.cont(forker.pid())) << round;
        ASSERT_FALSE(test::fileExists(guard.group())) << "round " << round;
        EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), forker.pid()), guard.parent());
    }
}

TEST_F(CgroupFreezing, ContinuingAProcessItDoesNotHoldIsFalseAndLeavesItAlone) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    CgroupFreezer freezer;
    std::string before = CgroupV2::pathOf(child->pid()).value_or("?");
    EXPECT_FALSE(freezer.cont(child->pid()));
    EXPECT_FALSE(freezer.isHeld(child->pid()));
    EXPECT_EQ(CgroupV2::pathOf(child->pid()), before);
}

TEST_F(CgroupFreezing, FreezingTwiceKeepsOneGroup) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    CgroupFreezer freezer;
    ASSERT_TRUE(freezer.freeze(child->pid()).held);
    ASSERT_TRUE(freezer.freeze(child->pid()).held);
    EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), child->pid()), guard.group());
    ASSERT_TRUE(freezer.cont(child->pid()));
    EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), child->pid()), guard.parent());
}

TEST_F(CgroupFreezing, ALaterRunFindsAndReleasesWhatAnEarlierRunFroze) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    {
        CgroupFreezer crashed;
        ASSERT_TRUE(crashed.stop(child->pid()));
    }
    CgroupFreezer later;
    EXPECT_TRUE(later.isHeld(child->pid()));
    auto held = later.heldPIDs();
    EXPECT_NE(std::find(held.begin(), held.end(), child->pid()), held.end());
    // The last resort of the exit path releases only this run's freezes; the sweep releases the rest.
    EXPECT_EQ(later.releaseAll(), 0);
    EXPECT_TRUE(later.isHeld(child->pid()));
    EXPECT_TRUE(later.cont(child->pid()));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_FALSE(test::fileExists(guard.group()));
}

TEST_F(CgroupFreezing, ReleaseAllContinuesEverythingThisRunFroze) {
    TempDir otherDirectory;
    chmod(otherDirectory.path().c_str(), 0777);
    StandIn first(directory.path());
    StandIn second(otherDirectory.path());
    auto one = startStandIn(first);
    auto two = startStandIn(second);
    FreezeGroupGuard guardOne(one->pid());
    FreezeGroupGuard guardTwo(two->pid());
    CgroupFreezer freezer;
    ASSERT_TRUE(freezer.stop(one->pid()));
    ASSERT_TRUE(freezer.stop(two->pid()));
    EXPECT_EQ(freezer.releaseAll(), 2);
    EXPECT_TRUE(test::heartbeatAdvances(first.heartbeat));
    EXPECT_TRUE(test::heartbeatAdvances(second.heartbeat));
    EXPECT_FALSE(test::fileExists(guardOne.group()));
    EXPECT_FALSE(test::fileExists(guardTwo.group()));
    EXPECT_EQ(freezer.releaseAll(), 0);
}

TEST_F(CgroupFreezing, GroupsLeftByProcessesThatDiedFrozenAreRemoved) {
    StandIn standIn(directory.path());
    std::string group;
    {
        auto child = startStandIn(standIn);
        FreezeGroupGuard guard(child->pid());
        group = guard.group();
        CgroupFreezer crashed;
        ASSERT_TRUE(crashed.stop(child->pid()));
        child->kill();  // dies frozen; its group stays behind, empty
        ASSERT_TRUE(waitUntil([&] { return CgroupV2::processes(group).empty(); }));
        ASSERT_TRUE(test::fileExists(group));
        CgroupFreezer later;
        EXPECT_GE(later.removeUnused(), 1);
        EXPECT_FALSE(test::fileExists(group));
    }
}

TEST_F(CgroupFreezing, AnEmptyGroupWhoseProcessStillLivesIsKept) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    ASSERT_EQ(mkdir(guard.group().c_str(), 0755), 0);
    CgroupFreezer freezer;
    freezer.removeUnused();
    EXPECT_TRUE(test::fileExists(guard.group()));
    // ...and is taken up by the next freeze of that process.
    ASSERT_TRUE(freezer.stop(child->pid()));
    EXPECT_EQ(CgroupV2::directoryOf(*freezer.mount(), child->pid()), guard.group());
    ASSERT_TRUE(freezer.cont(child->pid()));
    EXPECT_FALSE(test::fileExists(guard.group()));
}

TEST_F(CgroupFreezing, TheHoldingSignallerFreezesThroughTheCgroupAndContinuesBothHolds) {
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    Messages messages;
    HoldingSignaller signaller(messages.hook());
    ASSERT_TRUE(signaller.stop(child->pid()));
    EXPECT_TRUE(signaller.isHeld(child->pid()));
    EXPECT_EQ(CgroupV2::directoryOf(*CgroupV2::mount(), child->pid()), guard.group());
    // Stopped by a signal on top of the freeze (its user, or an earlier run that fell back).
    kill(child->pid(), SIGSTOP);
    ASSERT_TRUE(signaller.cont(child->pid()));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
    EXPECT_FALSE(signaller.isHeld(child->pid()));
    EXPECT_TRUE(messages.lines.empty());
}

TEST_F(CgroupFreezing, AStopSentToAFrozenProcessWaitsAndIsNotTakenForHeld) {
    // The freeze keeps the stop from being acted on: the signal check must see it as still on its way and
    // not as a stop that took place.
    StandIn standIn(directory.path());
    auto child = startStandIn(standIn);
    FreezeGroupGuard guard(child->pid());
    CgroupFreezer freezer;
    ASSERT_TRUE(freezer.stop(child->pid()));
    EXPECT_EQ(ProcessState::stopSignalPending(child->pid()), false);
    kill(child->pid(), SIGSTOP);
    EXPECT_EQ(ProcessState::stopSignalPending(child->pid()), true);
    auto failure = PosixSignaller::stopHoldFailure(child->pid(), std::chrono::milliseconds(100));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->rfind("it did not stop within 1000 ms (state S)", 0), 0u) << *failure;
    ASSERT_TRUE(freezer.cont(child->pid()));
    EXPECT_TRUE(waitUntil([&] { return test::processState(child->pid()) == 'T'; }));
    EXPECT_EQ(ProcessState::stopSignalPending(child->pid()), false);
    kill(child->pid(), SIGCONT);
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
}

// Runs fn in a child process with the identity of user, as an unprivileged daemon would; what fn returns.
std::string asUser(const passwd& user, const std::function<std::string()>& fn) {
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(pipeFDs[0]);
        std::string result;
        if (setgroups(0, nullptr) != 0 || setresgid(user.pw_gid, user.pw_gid, user.pw_gid) != 0 ||
            setresuid(user.pw_uid, user.pw_uid, user.pw_uid) != 0) {
            result = "could not become the user";
        } else {
            result = fn();
        }
        ssize_t ignored = write(pipeFDs[1], result.data(), result.size());
        (void)ignored;
        _exit(0);
    }
    close(pipeFDs[1]);
    std::string result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFDs[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(n));
    close(pipeFDs[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

// The unprivileged cases: a user who was handed a cgroup subtree (as systemd delegates one to a desktop
// session), and one who was not (an SSH login's session scope belongs to root).
// A directory under /tmp that every user may use, with everything in it removed on destruction: the other
// user must reach the stand-in's files and program whatever $TMPDIR and the build directory allow.
class SharedDirectory {
public:
    SharedDirectory() {
        std::string pattern = "/tmp/tarnel-shared-XXXXXX";
        if (mkdtemp(pattern.data())) {
            path_ = pattern;
            chmod(path_.c_str(), 0777);
        }
    }
    ~SharedDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    SharedDirectory(const SharedDirectory&) = delete;
    SharedDirectory& operator=(const SharedDirectory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class UnprivilegedFreezing : public CgroupFreezing {
protected:
    void SetUp() override {
        CgroupFreezing::SetUp();
        if (IsSkipped()) return;
        if (getuid() != 0) SKIP_OR_FAIL_IN_CI("making a cgroup for another user needs root");
        passwd* found = getpwnam("nobody");
        ASSERT_NE(found, nullptr) << "the user nobody is missing";
        user = *found;
        ASSERT_FALSE(shared.path().empty());
        program = shared.path() + "/claude";
        std::error_code error;
        std::filesystem::copy_file(test::supportProgram("claude"), program, error);
        ASSERT_FALSE(error) << error.message();
        chmod(program.c_str(), 0755);
    }

    std::unique_ptr<ChildProcess> startStandInAsUser(const StandIn& standIn) {
        std::vector<std::string> arguments = {"setpriv", "--reuid=" + std::to_string(user.pw_uid),
                                              "--regid=" + std::to_string(user.pw_gid), "--clear-groups"};
        auto standInArguments = standIn.arguments(50);
        standInArguments.front() = program;
        arguments.insert(arguments.end(), standInArguments.begin(), standInArguments.end());
        auto child = std::make_unique<ChildProcess>(arguments);
        EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
        return child;
    }

    passwd user{};
    SharedDirectory shared;
    std::string program;
};

TEST_F(UnprivilegedFreezing, AUserWithADelegatedSubtreeFreezesThroughTheCgroup) {
    TestCgroup delegated("tarnel-test-delegated");
    ASSERT_TRUE(delegated.made());
    ASSERT_TRUE(delegated.delegateTo(user.pw_uid, user.pw_gid));
    StandIn standIn(shared.path());
    auto child = startStandInAsUser(standIn);
    ASSERT_TRUE(delegated.add(child->pid()));
    FreezeGroupGuard guard(child->pid());
    std::int64_t pid = child->pid();

    std::string frozen = asUser(user, [pid] {
        std::string log;
        HoldingSignaller signaller([&](const std::string& line) { log += line + "\n"; });
        return std::string(signaller.stop(pid) ? "held" : "not held") + "\n" + log;
    });
    ASSERT_EQ(frozen, "held\n");
    EXPECT_EQ(CgroupV2::directoryOf(*CgroupV2::mount(), pid),
              delegated.path() + "/tarnel-freeze-" + std::to_string(pid));
    EXPECT_TRUE(test::expectHeld(pid));

    std::string thawed = asUser(user, [pid] {
        HoldingSignaller signaller;
        return std::string(signaller.cont(pid) ? "continued" : "not continued");
    });
    EXPECT_EQ(thawed, "continued");
    EXPECT_EQ(CgroupV2::directoryOf(*CgroupV2::mount(), pid), delegated.path());
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
}

TEST_F(UnprivilegedFreezing, AUserWithoutWriteAccessFallsBackToSignalsAndSaysWhy) {
    TestCgroup rootOwned("tarnel-test-root-owned");
    ASSERT_TRUE(rootOwned.made());
    StandIn standIn(shared.path());
    auto child = startStandInAsUser(standIn);
    ASSERT_TRUE(rootOwned.add(child->pid()));
    FreezeGroupGuard guard(child->pid());
    std::int64_t pid = child->pid();

    std::string result = asUser(user, [pid] {
        std::string log;
        HoldingSignaller signaller([&](const std::string& line) { log += line + "\n"; });
        std::string outcome = signaller.stop(pid) ? "stopped" : "not stopped";
        outcome += test::processState(pid) == 'T' ? " T" : " not T";
        outcome += signaller.cont(pid) ? " continued" : " not continued";
        signaller.stop(pid);  // the reason is given once per process
        signaller.cont(pid);
        return outcome + "\n" + log;
    });
    // No user manager answers the user nobody here, so the way through a scope of its own fails too, saying so.
    std::string expectedWarning = "warning [signal] pid " + std::to_string(pid) +
                                  " cannot be frozen through its cgroup (cannot create " + rootOwned.path() +
                                  "/tarnel-freeze-" + std::to_string(pid) +
                                  ": Permission denied; no cgroup of the user's own either: ";
    EXPECT_EQ(result.rfind("stopped T continued\n" + expectedWarning, 0), 0u) << result;
    EXPECT_TRUE(result.ends_with(") - using SIGSTOP/SIGCONT\n")) << result;
    EXPECT_EQ(std::count(result.begin(), result.end(), '\n'), 2) << "the reason is given once\n" << result;
    EXPECT_FALSE(test::fileExists(guard.group()));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
}

// An SSH login in miniature: the user owns a subtree (the user's manager's) but not the group the process
// sits in (the session's scope, root's); the freezer asks for a group of the user's own (a scope of the user's
// manager, here a sibling group the relocator moves the process into), holds it there and leaves it there.
class RelocatedFreezing : public UnprivilegedFreezing {
protected:
    void SetUp() override {
        UnprivilegedFreezing::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(userTree.made());
        ASSERT_TRUE(userTree.delegateTo(user.pw_uid, user.pw_gid));
        session = userTree.path() + "/session";
        scope = userTree.path() + "/scope";
        ASSERT_EQ(mkdir(session.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(scope.c_str(), 0755), 0);
        for (const char* file : {"", "/cgroup.procs", "/cgroup.threads", "/cgroup.subtree_control"}) {
            ASSERT_EQ(chown((scope + file).c_str(), user.pw_uid, user.pw_gid), 0) << file;
        }
        child = startStandInAsUser(standIn);
        ASSERT_TRUE(CgroupV2::write(session + "/cgroup.procs", std::to_string(child->pid())) == 0);
    }

    // What the user gets: held or not, and the freezer's lines; pid's group is checked by the caller.
    std::string freezeAsUser(CgroupFreezer::Relocator relocate) {
        std::int64_t pid = child->pid();
        return asUser(user, [pid, relocate] {
            std::string log;
            LogHook hook = [&](const std::string& line) { log += line + "\n"; };
            HoldingSignaller signaller(
                hook, std::make_unique<CgroupFreezer>(hook, CgroupV2::mount(), CgroupFreezer::defaultSettle, relocate));
            return std::string(signaller.stop(pid) ? "held" : "not held") + "\n" + log;
        });
    }

    // The cgroup path ("/...") of a directory under the mount.
    static std::string pathOf(const std::string& directory) {
        auto mount = CgroupV2::mount();
        return mount->root == "/" ? directory.substr(mount->path.size())
                                  : mount->root + directory.substr(mount->path.size());
    }

    std::string groupOfChild() const {
        return CgroupV2::directoryOf(*CgroupV2::mount(), child->pid()).value_or("gone");
    }

    TestCgroup userTree{"tarnel-test-user"};
    std::string session;
    std::string scope;
    StandIn standIn{shared.path()};
    std::unique_ptr<ChildProcess> child;
};

TEST_F(RelocatedFreezing, HoldsInTheUsersOwnGroupAndLeavesTheProcessThereAfterTheThaw) {
    std::string target = scope;
    auto relocate = [target](std::int64_t pid, std::string*) -> std::optional<std::string> {
        if (CgroupV2::write(target + "/cgroup.procs", std::to_string(pid)) != 0) return std::nullopt;
        return pathOf(target);
    };
    std::string pid = std::to_string(child->pid());
    EXPECT_EQ(freezeAsUser(relocate), "held\n[signal] cgroup freeze pid=" + pid +
                                          " ok (user scope scope: its own cgroup " + session + " is not the user's)\n");
    EXPECT_EQ(groupOfChild(), scope + "/tarnel-freeze-" + pid);
    EXPECT_TRUE(test::expectHeld(child->pid()));

    std::int64_t held = child->pid();
    std::string thawed = asUser(user, [held] {
        HoldingSignaller signaller;
        return std::string(signaller.cont(held) ? "continued" : "not continued");
    });
    EXPECT_EQ(thawed, "continued");
    EXPECT_EQ(groupOfChild(), scope);
    EXPECT_FALSE(test::fileExists(scope + "/tarnel-freeze-" + pid));
    EXPECT_TRUE(test::heartbeatAdvances(standIn.heartbeat));
}

}  // namespace
}  // namespace tracker
