#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "Daemon/DirectoryWatch.hpp"
#include "Platform/DirectoryEvents.hpp"
#include "RealWorld.hpp"
#include "TestSupport.hpp"

using tracker::DirectoryEvents;
using tracker::DirectoryWatcher;
using tracker::test::TempDir;
using tracker::test::writeFile;
namespace fs = std::filesystem;

namespace {

// Long enough never to run out on a busy machine; a change must end it far sooner.
constexpr double longWait = 10.0;
// Short waits that are expected to find nothing.
constexpr double quietWait = 0.2;

struct Warnings {
    std::vector<std::string> lines;
    tracker::LogHook hook() {
        return [this](const std::string& text) { lines.push_back(text); };
    }
};

// Whether the thread with this id sleeps in the kernel (in its wait, once it got there).
bool sleeping(pid_t thread) {
    std::string stat = tracker::test::readFile("/proc/self/task/" + std::to_string(thread) + "/stat");
    auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

// Starts wait(longWait) on another thread, runs change once that thread sleeps in it, and returns what wait
// said.
bool waitAcross(DirectoryWatcher& watcher, const std::function<void()>& change) {
    std::promise<pid_t> waiterThread;
    auto result = std::async(std::launch::async, [&] {
        waiterThread.set_value(::gettid());
        return watcher.wait(longWait);
    });
    const pid_t waiter = waiterThread.get_future().get();
    EXPECT_TRUE(tracker::test::waitUntil([&] { return sleeping(waiter); }));
    change();
    return result.get();
}

struct Change {
    const char* name;
    std::function<void(const std::string& dir, const std::string& outside)> before;  // runs before watching
    std::function<void(const std::string& dir, const std::string& outside)> change;
    std::set<std::string> named;  // the entries the change is about
};

std::vector<Change> everyKindOfChange() {
    auto none = [](const std::string&, const std::string&) {};
    auto existing = [](const std::string& dir, const std::string&) { writeFile(dir + "/a.json", "{}\n"); };
    return {
        {"create",
         none,
         [](const std::string& dir, const std::string&) { writeFile(dir + "/a.json", "{}\n"); },
         {"a.json"}},
        {"remove",
         existing,
         [](const std::string& dir, const std::string&) { fs::remove(dir + "/a.json"); },
         {"a.json"}},
        {"rename inside",
         existing,
         [](const std::string& dir, const std::string&) { fs::rename(dir + "/a.json", dir + "/b.json"); },
         {"a.json", "b.json"}},
        {"rename in from outside",
         [](const std::string&, const std::string& outside) { writeFile(outside + "/rec.json", "{}\n"); },
         [](const std::string& dir, const std::string& outside) { fs::rename(outside + "/rec.json", dir + "/r.json"); },
         {"r.json"}},
        {"rename out",
         existing,
         [](const std::string& dir, const std::string& outside) { fs::rename(dir + "/a.json", outside + "/a.json"); },
         {"a.json"}},
        {"rewrite in place",
         existing,
         [](const std::string& dir, const std::string&) { writeFile(dir + "/a.json", "{\"x\": 1}\n"); },
         {"a.json"}},
        {"replace through a hidden temporary",
         existing,
         [](const std::string& dir, const std::string&) {
             writeFile(dir + "/.a.json.tmp", "{\"x\": 2}\n");
             fs::rename(dir + "/.a.json.tmp", dir + "/a.json");
         },
         {"a.json"}},
    };
}

}  // namespace

TEST(DirectoryWatcher, EveryKindOfEntryChangeEndsAPendingWait) {
    for (const Change& c : everyKindOfChange()) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string dir = tmp.file("sessions"), outside = tmp.file("outside");
        fs::create_directories(dir);
        fs::create_directories(outside);
        c.before(dir, outside);
        Warnings warnings;
        DirectoryWatcher watcher(dir, warnings.hook());
        ASSERT_TRUE(watcher.watching());
        EXPECT_TRUE(waitAcross(watcher, [&] { c.change(dir, outside); }));
        EXPECT_TRUE(warnings.lines.empty());
    }
}

TEST(DirectoryWatcher, ChangesBetweenWaitsGiveOneEarlyReturn) {
    for (const Change& c : everyKindOfChange()) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        const std::string dir = tmp.file("sessions"), outside = tmp.file("outside");
        fs::create_directories(outside);
        DirectoryWatcher watcher(dir);  // creates the directory
        ASSERT_TRUE(fs::is_directory(dir));
        c.before(dir, outside);  // a change of its own
        c.change(dir, outside);
        writeFile(dir + "/other.json", "{}\n");
        EXPECT_TRUE(watcher.wait(longWait));
        EXPECT_FALSE(watcher.wait(quietWait));  // everything was taken by the first wait
        // ... and the names it took are those of the entries changed, temporaries left out.
        auto changes = watcher.takeChanges();
        EXPECT_FALSE(changes.everything);
        for (const auto& name : c.named) EXPECT_TRUE(changes.names.count(name)) << name;
        EXPECT_TRUE(changes.names.count("other.json"));
        for (const auto& name : changes.names) EXPECT_NE(name[0], '.') << name;
        EXPECT_TRUE(watcher.takeChanges().names.empty());
    }
}

TEST(DirectoryWatcher, DrainTakesWhatIsQueuedWithoutWaiting) {
    TempDir tmp;
    const std::string dir = tmp.file("sessions");
    DirectoryWatcher watcher(dir);
    ASSERT_TRUE(watcher.watching());
    EXPECT_FALSE(watcher.drain());
    writeFile(dir + "/.a.json.tmp", "{}\n");
    EXPECT_FALSE(watcher.drain());  // a temporary alone
    fs::rename(dir + "/.a.json.tmp", dir + "/a.json");
    EXPECT_TRUE(watcher.drain());
    EXPECT_FALSE(watcher.wait(quietWait));
    EXPECT_EQ(watcher.takeChanges().names, std::set<std::string>{"a.json"});
    // Where the watch cannot say what changed (here, the directory went), the changes are everything.
    fs::remove_all(dir);
    EXPECT_TRUE(watcher.wait(longWait));
    EXPECT_TRUE(watcher.takeChanges().everything);
    watcher.close();
    EXPECT_FALSE(watcher.drain());
    EXPECT_TRUE(watcher.takeChanges().everything);
}

TEST(DirectoryWatcher, AWritersTemporaryAloneIsNoChange) {
    TempDir tmp;
    const std::string dir = tmp.file("sessions");
    DirectoryWatcher watcher(dir);
    ASSERT_TRUE(watcher.watching());
    writeFile(dir + "/.a.json.1.2.tmp", "{}\n");  // a write given up before its rename
    fs::remove(dir + "/.a.json.1.2.tmp");
    EXPECT_FALSE(watcher.wait(quietWait));
    EXPECT_TRUE(waitAcross(watcher, [&] { writeFile(dir + "/a.json", "{}\n"); }));
}

TEST(DirectoryWatcher, NonPositiveTimeoutsReturnAtOnceWithoutTakingChanges) {
    TempDir tmp;
    DirectoryWatcher watcher(tmp.file("sessions"));
    ASSERT_TRUE(watcher.watching());
    EXPECT_FALSE(watcher.wait(quietWait));
    writeFile(tmp.file("sessions/a.json"), "{}");
    EXPECT_FALSE(watcher.wait(0));
    EXPECT_FALSE(watcher.wait(-5));
    EXPECT_FALSE(watcher.wait(std::nan("")));
    EXPECT_TRUE(watcher.wait(longWait));  // the change is still there for a real wait
    EXPECT_FALSE(watcher.wait(quietWait));
}

std::atomic<int> signalsSeen{0};

TEST(DirectoryWatcher, SignalsDuringAWaitDoNotEndIt) {
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { ++signalsSeen; };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the kernel wait sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    TempDir tmp;
    DirectoryWatcher watcher(tmp.file("sessions"));
    std::promise<std::pair<pthread_t, pid_t>> waiterThread;
    auto result = std::async(std::launch::async, [&] {
        waiterThread.set_value({pthread_self(), ::gettid()});
        return watcher.wait(longWait);
    });
    const auto [waiter, waiterID] = waiterThread.get_future().get();
    signalsSeen = 0;
    // Each signal lands in the wait: sent once the thread sleeps there, and taken before the next.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(tracker::test::waitUntil([&] { return sleeping(waiterID); }));
        pthread_kill(waiter, SIGUSR1);
        ASSERT_TRUE(tracker::test::waitUntil([&] { return signalsSeen == i + 1; }));
    }
    ASSERT_TRUE(tracker::test::waitUntil([&] { return sleeping(waiterID); }));
    writeFile(tmp.file("sessions/a.json"), "{}");
    EXPECT_TRUE(result.get());
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(DirectoryWatcher, RemovedAndRecreatedDirectoryIsWatchedAgain) {
    TempDir tmp;
    const std::string dir = tmp.file("sessions");
    DirectoryWatcher watcher(dir);
    fs::remove_all(dir);
    EXPECT_TRUE(watcher.wait(longWait));  // the removal itself is a change
    EXPECT_FALSE(watcher.wait(quietWait));
    fs::create_directories(dir);
    EXPECT_TRUE(watcher.wait(longWait));  // coming back is one as well
    EXPECT_FALSE(watcher.wait(quietWait));
    EXPECT_TRUE(waitAcross(watcher, [&] { writeFile(dir + "/a.json", "{}"); }));

    // Moved away and replaced by a new directory: the new one is watched, not the old.
    fs::rename(dir, tmp.file("moved"));
    fs::create_directories(dir);
    EXPECT_TRUE(watcher.wait(longWait));
    while (watcher.wait(quietWait)) {
    }
    writeFile(tmp.file("moved/ignored.json"), "{}");
    EXPECT_FALSE(watcher.wait(quietWait));
    EXPECT_TRUE(waitAcross(watcher, [&] { writeFile(dir + "/b.json", "{}"); }));
}

TEST(DirectoryWatcher, UncreatableDirectoryPollsAfterOneWarning) {
    TempDir tmp;
    writeFile(tmp.file("state"), "a regular file where the state directory should be");
    const std::string dir = tmp.file("state/sessions");
    Warnings warnings;
    DirectoryWatcher watcher(dir, warnings.hook());
    EXPECT_FALSE(watcher.watching());
    ASSERT_EQ(warnings.lines.size(), 1u);
    EXPECT_EQ(warnings.lines[0], "warning [DirectoryWatcher] cannot create " + dir + ", polling: Not a directory");
    EXPECT_FALSE(watcher.wait(quietWait));
    EXPECT_FALSE(watcher.wait(0));
    EXPECT_EQ(warnings.lines.size(), 1u);

    // The watched path itself a regular file: the same, and no hook is fine too.
    DirectoryWatcher quiet(tmp.file("state"));
    EXPECT_FALSE(quiet.watching());
    EXPECT_FALSE(quiet.wait(quietWait));
}

TEST(DirectoryWatcher, NoKernelWatchWhenDescriptorsRunOut) {
    TempDir tmp;
    Warnings warnings;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto watcher = std::make_unique<DirectoryWatcher>(tmp.file("sessions"), warnings.hook());
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_FALSE(watcher->watching());
    ASSERT_EQ(warnings.lines.size(), 1u);
    EXPECT_EQ(warnings.lines[0], "warning [DirectoryWatcher] inotify unavailable, polling: Too many open files");
    writeFile(tmp.file("sessions/a.json"), "{}");
    EXPECT_FALSE(watcher->wait(quietWait));
}

TEST(DirectoryWatcher, CloseLeavesOnlySleeping) {
    TempDir tmp;
    DirectoryWatcher watcher(tmp.file("sessions"));
    ASSERT_TRUE(watcher.watching());
    watcher.close();
    EXPECT_FALSE(watcher.watching());
    writeFile(tmp.file("sessions/a.json"), "{}");
    EXPECT_FALSE(watcher.wait(quietWait));
    watcher.close();  // twice is harmless
}

TEST(DirectoryWatcher, LeadingTildeIsTheHomeDirectory) {
    TempDir tmp;
    const char* oldHome = std::getenv("HOME");
    std::string saved = oldHome ? oldHome : "";
    setenv("HOME", tmp.path().c_str(), 1);
    DirectoryWatcher watcher(std::string("~/state/sessions"));
    DirectoryWatcher literal(tmp.file("x~/y"));
    if (oldHome)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");

    EXPECT_EQ(watcher.path(), fs::path(tmp.path()) / "state/sessions");
    EXPECT_TRUE(fs::is_directory(tmp.file("state/sessions")));
    EXPECT_TRUE(watcher.watching());
    EXPECT_EQ(literal.path(), fs::path(tmp.file("x~/y")));
}

TEST(DirectoryEvents, WatchOfAMissingDirectoryNamesWhatFailed) {
    auto opened = DirectoryEvents::open("/nonexistent-tarnel-dir/sessions");
    EXPECT_FALSE(opened.events);
    EXPECT_EQ(opened.failure.what, "cannot watch /nonexistent-tarnel-dir/sessions");
    EXPECT_EQ(opened.failure.reason, "No such file or directory");
}

namespace {

// Hands out scripted wait results and records the time each wait was given.
class ScriptedEvents : public DirectoryEvents {
public:
    explicit ScriptedEvents(std::deque<WaitResult> script, std::vector<double>* asked)
        : script_(std::move(script)), asked_(asked) {}
    WaitResult wait(double seconds) override {
        asked_->push_back(seconds);
        if (script_.empty()) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            return WaitResult::timedOut;
        }
        WaitResult r = script_.front();
        script_.pop_front();
        return r;
    }

private:
    std::deque<WaitResult> script_;
    std::vector<double>* asked_;
};

}  // namespace

TEST(DirectoryWatcher, KernelWaitOutcomes) {
    using R = DirectoryEvents::WaitResult;
    {
        std::vector<double> asked;
        DirectoryWatcher w("/unused",
                           std::make_unique<ScriptedEvents>(
                               std::deque<R>{R::interrupted, R::interrupted, R::timedOut, R::changed}, &asked));
        EXPECT_TRUE(w.wait(longWait));
        ASSERT_EQ(asked.size(), 4u);
        for (std::size_t i = 0; i < asked.size(); ++i) {
            EXPECT_GT(asked[i], 0);
            EXPECT_LE(asked[i], longWait);
            if (i) {
                EXPECT_LE(asked[i], asked[i - 1]);  // what is left of one deadline
            }
        }
    }
    {
        // A failing kernel wait is asked once and the wait ends false, without spinning on it.
        std::vector<double> asked;
        DirectoryWatcher w("/unused", std::make_unique<ScriptedEvents>(std::deque<R>{R::failed}, &asked));
        EXPECT_FALSE(w.wait(quietWait));
        EXPECT_EQ(asked.size(), 1u);
    }
}
