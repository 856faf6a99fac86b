#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "Daemon/DaemonLog.hpp"
#include "Daemon/DaemonNotify.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

extern char** environ;

using tracker::DaemonLogger;
using tracker::DaemonLogLevel;
namespace Notify = tracker::DaemonNotify;
using tracker::NotifyMode;
namespace NotifyModes = tracker::NotifyModes;
using tracker::test::fileExists;
using tracker::test::readFile;
using tracker::test::TempDir;
using tracker::test::writeFile;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(15);

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Messages of a daemon log file, each as "LABEL message".
std::vector<std::string> logEntries(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& line : linesOf(readFile(path))) {
        std::string label = line.substr(24, 8);
        label.erase(label.find_last_not_of(' ') + 1);
        out.push_back(label + " " + line.substr(33));
    }
    return out;
}

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
}

// A process the test started in a process group of its own; the whole group is killed and
// the process reaped when the object goes, however the test ends.
class GroupChild {
public:
    GroupChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
               const std::string& errorLog) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp, args;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> argCopies(argv);
        for (auto& a : argCopies) args.push_back(a.data());
        args.push_back(nullptr);

        int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(ends[1]);
        out_ = ends[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    ~GroupChild() {
        if (pid_ > 0) {
            ::kill(-pid_, SIGKILL);
            int status;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        ::close(out_);
    }
    GroupChild(const GroupChild&) = delete;
    GroupChild& operator=(const GroupChild&) = delete;

    // The first line the child prints, or none when it prints none in time.
    std::optional<std::string> firstLine() {
        std::string got;
        const auto deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            pollfd pfd{out_, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) continue;
            char c;
            ssize_t n = ::read(out_, &c, 1);
            if (n <= 0) return std::nullopt;
            if (c == '\n') return got;
            got += c;
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// A private D-Bus session bus with a stand-in notification service that records every
// Notify call; the test process's DBUS_SESSION_BUS_ADDRESS points at it while it lives.
class NotificationBus {
public:
    NotificationBus() {
        const std::string config = dir_.file("session.conf");
        writeFile(config,
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig>\n"
                  "  <type>session</type>\n"
                  "  <listen>unix:path=" +
                      dir_.file("bus") +
                      "</listen>\n"
                      "  <auth>EXTERNAL</auth>\n"
                      "  <policy context=\"default\">\n"
                      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                      "    <allow eavesdrop=\"true\"/>\n"
                      "    <allow own=\"*\"/>\n"
                      "  </policy>\n"
                      "</busconfig>\n");
        bus_.emplace(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config, "--print-address", "--nofork"},
            std::vector<std::string>{}, dir_.file("bus.err"));
        auto address = bus_->firstLine();
        if (!address) throw std::runtime_error("dbus-daemon gave no address: " + readFile(dir_.file("bus.err")));
        address_ = *address;

        listener_.emplace(
            std::vector<std::string>{"/usr/bin/python3",
                                     std::string(TARNEL_SOURCE_DIR) + "/tests/support/notification_listener.py",
                                     records()},
            std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address_}, dir_.file("listener.err"));
        auto ready = listener_->firstLine();
        if (ready != "ready") throw std::runtime_error("listener not ready: " + readFile(dir_.file("listener.err")));

        if (const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS")) savedAddress_ = old;
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~NotificationBus() {
        if (savedAddress_)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress_->c_str(), 1);
        else
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

    std::string records() const { return dir_.file("notifications.jsonl"); }

    // The Notify calls seen so far, waiting until there are at least `count`.
    std::vector<nlohmann::json> notifications(std::size_t count) const {
        std::vector<nlohmann::json> got;
        tracker::test::waitUntil(
            [&] {
                got.clear();
                for (const auto& line : linesOf(readFile(records()))) got.push_back(nlohmann::json::parse(line));
                return got.size() >= count;
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(patience), std::chrono::milliseconds(20));
        return got;
    }

private:
    TempDir dir_;
    std::string address_;
    std::optional<std::string> savedAddress_;
    std::optional<GroupChild> bus_;
    std::optional<GroupChild> listener_;
};

// Kills the test poster whose pid it wrote to `pidFile`, then gives the poster's parents (a
// timeout(1) wrapper, the worker's wait) a moment to reap; whatever is left of its process
// group then goes too.
class PidFileGuard {
public:
    explicit PidFileGuard(std::string pidFile) : pidFile_(std::move(pidFile)) {}
    ~PidFileGuard() {
        tracker::test::waitUntil([&] { return fileExists(pidFile_); }, std::chrono::seconds(2));
        const pid_t pid = static_cast<pid_t>(std::atoll(readFile(pidFile_).c_str()));
        if (pid <= 1) return;
        const pid_t group = ::getpgid(pid);
        ::kill(pid, SIGKILL);
        if (group <= 1 || group == ::getpgrp()) return;
        tracker::test::waitUntil([&] { return ::kill(-group, 0) != 0; }, std::chrono::seconds(5));
        ::kill(-group, SIGKILL);
    }
    PidFileGuard(const PidFileGuard&) = delete;
    PidFileGuard& operator=(const PidFileGuard&) = delete;

private:
    std::string pidFile_;
};

}  // namespace

TEST(DaemonNotify, ModesAndWhoPosts) {
    EXPECT_EQ(NotifyModes::texts(), (std::vector<std::string>{"desktop", "app", "off"}));
    for (const auto& text : NotifyModes::texts()) EXPECT_EQ(NotifyModes::text(*NotifyModes::parse(text)), text);
    // The name older configurations give the desktop mode.
    EXPECT_EQ(NotifyModes::parse("osascript"), NotifyMode::desktop);
    for (const char* other : {"OSASCRIPT", "Desktop", "", "desktop "}) {
        EXPECT_EQ(NotifyModes::parse(other), std::nullopt) << other;
    }
    EXPECT_EQ(NotifyModes::defaultMode, NotifyMode::desktop);
    EXPECT_EQ(Notify::binary(), "/usr/bin/notify-send");
}

TEST(DaemonNotify, ModesThatDoNotPostRunNothing) {
    TempDir dir;
    const std::string marker = dir.file("ran"), poster = dir.file("poster");
    writeScript(poster, "touch '" + marker + "'\n");
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::debug, false);
    for (NotifyMode mode : {NotifyMode::app, NotifyMode::off}) {
        EXPECT_FALSE(Notify::post("Claude sessions paused", "m", "", mode, log, poster)) << NotifyModes::text(mode);
    }
    EXPECT_FALSE(Notify::post("t", "m", "", NotifyMode::off, nullptr, poster));
    auto quiet = DaemonLogger::create(dir.file("info.log"), DaemonLogLevel::info, false);
    EXPECT_FALSE(Notify::post("t", "m", "", NotifyMode::app, quiet, poster));

    EXPECT_FALSE(fileExists(marker));
    EXPECT_EQ(logEntries(dir.file("daemon.log")),
              (std::vector<std::string>{
                  "DEBUG [notify] mode=app - not posting from the daemon: Claude sessions paused",
                  "DEBUG [notify] mode=off - not posting from the daemon: Claude sessions paused",
              }));
    EXPECT_EQ(readFile(dir.file("info.log")), "");
}

TEST(DaemonNotify, TitleAndBodyArriveAtTheNotificationService) {
    NotificationBus bus;
    TempDir dir;
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::verbose, false);

    const std::string paused = "91% of the 5-hour window used. 2 session(s) frozen until 14:05.";
    EXPECT_TRUE(Notify::post("Claude sessions paused", paused, "", std::nullopt, log));
    // Texts a shell or an option parser would mangle arrive as they were.
    const std::string awkward = "-n \"quoted\" back\\slash \\n \\101 \\ $(touch /tmp/x) `id` ; & | * ✓";
    EXPECT_TRUE(Notify::post("--help \\t", awkward, "", NotifyMode::desktop, log));
    EXPECT_TRUE(Notify::post("Claude sessions resumed", "2 session(s) continued.", "a subtitle", std::nullopt, log));

    auto got = bus.notifications(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["summary"], "Claude sessions paused");
    EXPECT_EQ(got[0]["body"], paused);
    EXPECT_EQ(got[0]["app"], "tarnel-vovivida");
    EXPECT_EQ(got[1]["summary"], "--help \\t");
    EXPECT_EQ(got[1]["body"], awkward);
    EXPECT_EQ(got[2]["summary"], "Claude sessions resumed");
    EXPECT_EQ(got[2]["body"], "a subtitle\n2 session(s) continued.");
    EXPECT_EQ(readFile(dir.file("daemon.log")), "");  // nothing to report when posting works
}

TEST(DaemonNotify, MissingOrFailingPosterIsInvisible) {
    TempDir dir;
    const std::string failing = dir.file("failing");
    writeScript(failing, "echo 'no bus' >&2\nexit 1\n");
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::verbose, false);
    EXPECT_TRUE(Notify::post("t", "m", "", std::nullopt, log, dir.file("no-such-poster")));
    EXPECT_TRUE(Notify::post("t", "m", "", std::nullopt, log, failing));
    EXPECT_EQ(readFile(dir.file("daemon.log")), "");
}

TEST(DaemonNotify, HungPosterIsWarnedAboutOnceAndLeftBehind) {
    TempDir dir;
    const std::string poster = dir.file("hung"), pidFile = dir.file("hung.pid");
    writeScript(poster,
                "echo $$ > '" + pidFile + ".tmp' && mv '" + pidFile + ".tmp' '" + pidFile + "'\nexec sleep 120\n");
    PidFileGuard guard(pidFile);
    auto log = DaemonLogger::create(dir.file("daemon.log"), DaemonLogLevel::verbose, false);

    EXPECT_TRUE(Notify::post("Claude sessions paused", "m", "", std::nullopt, log, poster));
    EXPECT_EQ(logEntries(dir.file("daemon.log")),
              (std::vector<std::string>{"WARNING [notify] notify-send did not finish in 5s - carrying on"}));
    EXPECT_TRUE(fileExists(pidFile));  // it really was started, and is still running

    // The hung poster holds nothing the next post needs.
    const std::string quick = dir.file("quick"), marker = dir.file("quick.ran");
    writeScript(quick, "touch '" + marker + "'\n");
    EXPECT_TRUE(Notify::post("Claude sessions resumed", "m", "", std::nullopt, log, quick));
    EXPECT_TRUE(fileExists(marker));
    EXPECT_EQ(logEntries(dir.file("daemon.log")).size(), 1u);
}
