#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "Core/ProcessTable.hpp"
#include "Core/RecordCache.hpp"
#include "Core/StateDir.hpp"
#include "Core/StateDirTrust.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

std::string home() {
    return expandTilde("~");
}

TEST(StateDirLocation, OverrideThenEnvironmentThenDefault) {
    EXPECT_EQ(StateDir::fromEnvironment(std::nullopt, {}).root(), home() + "/.claude/usage-state");
    EXPECT_EQ(StateDir::fromEnvironment(std::nullopt, {{"VAZ_ADODIVO_STATE_DIR", ""}}).root(),
              home() + "/.claude/usage-state");
    EXPECT_EQ(StateDir::fromEnvironment(std::nullopt, {{"VAZ_ADODIVO_STATE_DIR", "~/x"}}).root(), home() + "/x");
    EXPECT_EQ(StateDir::fromEnvironment(std::string("/tmp/o"), {{"VAZ_ADODIVO_STATE_DIR", "/tmp/e"}}).root(), "/tmp/o");
    EXPECT_EQ(StateDir::fromEnvironment(std::string("rel/dir"), {}).root(), (fs::current_path() / "rel/dir").string());
    EXPECT_EQ(StateDir("/tmp/s/").root(), "/tmp/s");
}

TEST(StateDirLocation, TildeExpansion) {
    EXPECT_EQ(expandTilde("~root/x"), "/root/x");
    EXPECT_EQ(expandTilde("~"), home());
    EXPECT_EQ(expandTilde("/a/~b"), "/a/~b");
    EXPECT_EQ(expandTilde("~no-such-user-here/x"), "~no-such-user-here/x");
}

TEST(StateDirFiles, LayoutNames) {
    StateDir dir("/s");
    EXPECT_EQ(dir.recordPath("abc"), "/s/sessions/abc.json");
    EXPECT_EQ(dir.pausePath(), "/s/pause.json");
    EXPECT_EQ(dir.lastThawPath(), "/s/last_thaw.json");
    EXPECT_EQ(dir.configPath(), "/s/config.json");
    EXPECT_EQ(dir.logPath(), "/s/daemon.log");
}

TEST(StateDirRead, RecordsInNameOrderSkippingHiddenAndOtherFiles) {
    TempDir temp;
    StateDir dir(temp.path() + "/state");
    dir.ensureDirectories();
    dir.ensureDirectories();  // existing directories are fine
    auto put = [&](const std::string& name, const std::string& body) {
        test::writeFile(dir.sessionsDir() + "/" + name, body);
    };
    put(".hidden.json", R"({"session_id": "h", "pid": 1})");
    put("notes.txt", R"({"session_id": "n", "pid": 1})");
    put("b.json", R"({"session_id": "b", "pid": 2})");
    put("a.json", R"({"session_id": "xyz", "pid": 3})");
    put("broken.json", "{");
    put("zero.json", R"({"session_id": "z", "pid": 0})");
    put(".a.json.1.2.tmp", R"({"session_id": "t", "pid": 1})");

    auto records = dir.readRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].sessionID, "xyz");
    EXPECT_EQ(records[0].path, dir.sessionsDir() + "/a.json");
    EXPECT_EQ(records[1].sessionID, "b");

    EXPECT_TRUE(StateDir(temp.path() + "/missing").readRecords().empty());
}

TEST(StateDirRead, PauseLastThawAndConfig) {
    TempDir temp;
    StateDir dir(temp.path());
    EXPECT_FALSE(dir.readPause());
    EXPECT_FALSE(dir.readLastThaw());
    EXPECT_FALSE(dir.deletePause());

    test::writeFile(dir.configPath(), "[1, 2]");
    EXPECT_TRUE(dir.readConfig().document().empty());
    test::writeFile(dir.configPath(), R"({"threshold": "80", "x": 1})");
    EXPECT_EQ(dir.readConfig().threshold, 80);

    Pause pause{10, 20, {Target{5, "s", std::nullopt, Shape::a, "id"}}, "r", "id", schemaVersion};
    pause.implyUsage();
    StateDir fresh(temp.path() + "/new");
    fresh.write(pause);  // creates the directories it needs
    EXPECT_EQ(fresh.readPause(), pause);
    fresh.write(LastThaw{30, 20});
    EXPECT_EQ(fresh.readLastThaw(), (LastThaw{30, 20}));
    EXPECT_TRUE(fresh.deletePause());
    EXPECT_FALSE(fresh.readPause());

    JSONObject document = dir.readConfig().document();
    document["threshold"] = 70;
    dir.write(TrackerConfig::fromJSON(document));
    EXPECT_EQ(dir.readConfig().document().at("x"), 1);
    EXPECT_EQ(dir.readConfig().threshold, 70);
}

// A config.json that is there but gives nothing says why, with the place where it stops being JSON.
TEST(StateDirRead, ConfigThatCannotBeUsedSaysWhy) {
    TempDir temp;
    StateDir dir(temp.path());
    EXPECT_EQ(dir.readConfigChecked().problem, std::nullopt);  // none there: the defaults, nothing wrong
    const struct {
        const char* bytes;
        std::optional<std::string> problem;
        double threshold;
    } cases[] = {
        {R"({"threshold": 85})", std::nullopt, 85},
        {R"({"threshold": 85,})", " is not JSON: line 1, column 18: unexpected '}'; expected string literal",
         TrackerConfig::defaultThreshold},
        {"{\n  \"display_command\": \"mine\"\n  \"threshold\": 80\n}\n",
         " is not JSON: line 3, column 13: unexpected string literal; expected '}'", TrackerConfig::defaultThreshold},
        {"[85]", " holds no JSON object", TrackerConfig::defaultThreshold},
    };
    for (const auto& c : cases) {
        test::writeFile(dir.configPath(), c.bytes);
        ::chmod(dir.configPath().c_str(), 0600);
        const auto read = dir.readConfigChecked();
        EXPECT_EQ(read.problem, c.problem ? std::optional<std::string>(dir.configPath() + *c.problem) : std::nullopt)
            << c.bytes;
        EXPECT_EQ(read.settings.threshold, c.threshold) << c.bytes;
    }
    // Others may write it: it says so, as the trust check words it.
    test::writeFile(dir.configPath(), R"({"threshold": 85})");
    ::chmod(dir.configPath().c_str(), 0622);
    const auto shared = dir.readConfigChecked();
    ASSERT_TRUE(shared.problem);
    EXPECT_NE(shared.problem->find(dir.configPath()), std::string::npos) << *shared.problem;
    EXPECT_EQ(shared.settings.threshold, TrackerConfig::defaultThreshold);
}

Record liveRecord(const std::string& id, double ts, std::optional<double> used = 50) {
    Record record;
    record.sessionID = id;
    record.pid = 4242;
    record.ts = ts;
    if (used) record.rateLimits["five_hour"] = JSONObject{{"used_percentage", *used}, {"resets_at", 9999}};
    return record;
}

TEST(StateDirPrune, RemovesOnlyDeadAndOldRecords) {
    TempDir temp;
    StateDir dir(temp.path());
    dir.ensureDirectories();
    const double now = 100000;
    auto make = [&](const std::string& id, std::int64_t pid, double ts) {
        Record record = liveRecord(id, ts);
        record.pid = pid;
        dir.write(record, false);
        record.path = dir.recordPath(id);
        return record;
    };
    const std::int64_t self = getpid();
    ProcessTable table({test::processRow(self, 1, "test")});
    std::vector<Record> records{make("dead-old", 999999, now - 3600), make("dead-young", 999999, now - 3599),
                                make("live-old", self, now - 1e6)};
    Record unpathed = liveRecord("unpathed", 0);
    unpathed.pid = 999999;
    records.push_back(unpathed);
    Record nanTS = make("nan", 999999, now);
    nanTS.ts = std::nan("");  // as a hand-edited "ts": "nan" reads
    records.push_back(nanTS);

    std::vector<std::string> messages;
    auto kept = StateDir::pruneRecords(records, table, now, 3600, [&](const std::string& m) { messages.push_back(m); });
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].sessionID, "dead-young");
    EXPECT_EQ(kept[1].sessionID, "live-old");
    EXPECT_EQ(kept[2].sessionID, "unpathed");
    EXPECT_FALSE(test::fileExists(dir.recordPath("dead-old")));
    EXPECT_TRUE(test::fileExists(dir.recordPath("dead-young")));
    // A ts that is not a number is not younger than the ttl: pruned, with no age to show.
    EXPECT_FALSE(test::fileExists(dir.recordPath("nan")));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "debug [pruneRecords] removed stale record dead-old.json (pid 999999 dead, ts 3600s old)");
    EXPECT_EQ(messages[1], "debug [pruneRecords] removed stale record nan.json (pid 999999 dead, ts ?s old)");

    // A file that cannot be removed stays in the list, with a message.
    Record gone = liveRecord("gone", now - 7200);
    gone.pid = 999999;
    gone.path = temp.path() + "/no/such/file.json";
    messages.clear();
    kept = StateDir::pruneRecords({gone}, table, now, 3600, [&](const std::string& m) { messages.push_back(m); });
    EXPECT_EQ(kept.size(), 1u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "debug [pruneRecords] could not remove " + *gone.path + ": No such file or directory");
    // Without a log hook nothing is said and nothing breaks.
    EXPECT_EQ(StateDir::pruneRecords({gone}, table, now, 3600, {}).size(), 1u);
}

TEST(StateDirPrune, AnAgeWithoutAWholeNumberReadsAsAQuestionMark) {
    TempDir temp;
    test::writeFile(temp.file("ancient.json"), "{}");
    Record record = liveRecord("ancient", -INFINITY);
    record.pid = 999999;
    record.path = temp.file("ancient.json");
    std::vector<std::string> messages;
    auto kept = StateDir::pruneRecords({record}, ProcessTable(), 1000, 3600,
                                       [&](const std::string& m) { messages.push_back(m); });
    EXPECT_TRUE(kept.empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "debug [pruneRecords] removed stale record ancient.json (pid 999999 dead, ts ?s old)");
}

TEST(StateDirTrust, OnlyADirectoryNobodyElseCanChangeIsTrusted) {
    TempDir temp;
    const std::string root = temp.file("state");
    struct Case {
        mode_t parent;
        mode_t state;         // 0: not made
        const char* problem;  // part of the message, "" for none
    };
    for (const auto& c : std::vector<Case>{{0755, 0700, ""},
                                           {0755, 0755, ""},
                                           {0755, 0770, "chmod 700 "},
                                           {0755, 0777, "writable by group and others (mode 0777)"},
                                           {01777, 0700, ""},
                                           {0777, 0700, "chmod go-w "},
                                           {0777, 0, "chmod go-w "},
                                           {0755, 0, ""}}) {
        fs::remove_all(root);
        ::chmod(temp.path().c_str(), c.parent);
        if (c.state) {
            fs::create_directory(root);
            ::chmod(root.c_str(), c.state);
        }
        auto problem = StateDir(root).trustProblem();
        const std::string what = std::to_string(c.parent) + "/" + std::to_string(c.state);
        if (*c.problem) {
            ASSERT_TRUE(problem) << what;
            EXPECT_NE(problem->find(c.problem), std::string::npos) << what << ": " << *problem;
        } else {
            EXPECT_EQ(problem, std::nullopt) << what;
        }
    }
    ::chmod(temp.path().c_str(), 0700);
}

// A path through a link, or with dots or a last slash in it, is judged by the directories it really names.
TEST(StateDirTrust, APathIsJudgedByWhatItNames) {
    TempDir temp;
    ::chmod(temp.path().c_str(), 0755);
    fs::create_directories(temp.file("open/state"));
    ::chmod(temp.file("open").c_str(), 0777);
    ::chmod(temp.file("open/state").c_str(), 0700);
    fs::create_directories(temp.file("shut/state"));
    ::chmod(temp.file("shut/state").c_str(), 0777);
    fs::create_directories(temp.file("good/state"));
    ::chmod(temp.file("good/state").c_str(), 0700);
    fs::create_directory_symlink(temp.file("open"), temp.file("via-open"));
    fs::create_directory_symlink(temp.file("shut/state"), temp.file("to-shut"));
    fs::create_directory_symlink(temp.file("good/state"), temp.file("to-good"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"good/state", ""},
        {"to-good", ""},
        {"good/../good/state", ""},
        {"good/./state/", ""},
        {"via-open/state", "chmod go-w " + temp.file("open")},
        {"open/../open/state", "chmod go-w " + temp.file("open")},
        {"to-shut", "writable by group and others (mode 0777)"},
        {"shut/state/", "writable by group and others (mode 0777)"},
    };
    for (const auto& [path, problem] : cases) {
        auto found = StateDir(temp.file(path)).trustProblem();
        if (problem.empty()) {
            EXPECT_EQ(found, std::nullopt) << path;
        } else {
            ASSERT_TRUE(found) << path;
            EXPECT_NE(found->find(problem), std::string::npos) << path << ": " << *found;
        }
    }
    ::chmod(temp.file("open").c_str(), 0700);
}

TEST(StateDirTrust, DocumentsAreReadOnlyWhenTheUsersAlone) {
    TempDir temp;
    StateDir dir(temp.file("state"));
    dir.ensureDirectories();
    dir.write(Pause{});
    EXPECT_TRUE(dir.readPause());
    ::chmod(dir.pausePath().c_str(), 0620);
    EXPECT_FALSE(dir.readPause());
    ::chmod(dir.pausePath().c_str(), 0600);
    fs::rename(dir.pausePath(), temp.file("elsewhere.json"));
    fs::create_symlink(temp.file("elsewhere.json"), dir.pausePath());
    EXPECT_FALSE(dir.readPause());
    std::string problem;
    EXPECT_FALSE(StateDirTrust::readDocument(dir.pausePath(), {}, &problem));
    EXPECT_NE(problem.find("symbolic link"), std::string::npos) << problem;
}

TEST(StateDirFiles, ReadingADocumentLeavesItsAccessTimeAlone) {
    test::TempDir temp;
    StateDir dir(temp.file("state"));
    dir.ensureDirectories();
    test::writeFile(dir.pausePath(), "{}");
    // Older than its modification: a plain read would set it (relatime), an inode write each time.
    const struct timespec times[2] = {{1000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.pausePath().c_str(), times, 0), 0);
    EXPECT_TRUE(StateDirTrust::readDocument(dir.pausePath()));
    struct stat info {};
    ASSERT_EQ(::stat(dir.pausePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_atim.tv_sec, 1000);
}

TEST(StateDirFiles, LongSessionIDsGetShortDistinctFileNames) {
    const std::string a(250, 'a');
    const std::string b = std::string(249, 'a') + "b";
    EXPECT_EQ(StateDir::recordFileName(std::string(200, 'a')), std::string(200, 'a') + ".json");
    EXPECT_NE(StateDir::recordFileName(a), StateDir::recordFileName(b));
    EXPECT_LE(StateDir::recordFileName(a).size(), 125u);
    // A cut never splits a character: byte 100 of this id is the middle of an "é".
    std::string wide = "x";
    for (int i = 0; i < 120; ++i) wide += "\xc3\xa9";
    EXPECT_EQ(StateDir::recordFileName(wide).find("\xc3-"), std::string::npos);
    EXPECT_EQ(StateDir::recordFileName(wide).rfind("x\xc3\xa9", 0), 0u);
}

TEST(SessionIDs, SafeFileNames) {
    EXPECT_TRUE(isSafeSessionID("12f8c8e2-9ad7-4bc5-bfe5-8e7de9c49ccf"));
    EXPECT_TRUE(isSafeSessionID("a..b"));
    EXPECT_FALSE(isSafeSessionID(""));
    EXPECT_FALSE(isSafeSessionID("../escape"));
    EXPECT_FALSE(isSafeSessionID(".."));
    EXPECT_FALSE(isSafeSessionID(".hidden"));
    EXPECT_FALSE(isSafeSessionID("a/b"));
    EXPECT_FALSE(isSafeSessionID(std::string("a\0b", 3)));
}

// A state directory with records written as the tee writes them (pid 7, the given time).
struct RecordsDir {
    test::TempDir dir;
    StateDir state{dir.file("state")};
    RecordsDir() { state.ensureDirectories(); }
    void write(const std::string& id, double ts) const {
        Record record;
        record.sessionID = id;
        record.pid = 7;
        record.ts = ts;
        state.write(record, false);
    }
};

TEST(RecordCacheTest, ParsesAgainOnlyWhatChangedAndForgetsWhatWent) {
    RecordsDir records;
    const StateDir& state = records.state;
    auto write = [&](const std::string& id, double ts) { records.write(id, ts); };
    write("a", 1);
    write("b", 1);
    RecordCache cache;
    auto first = state.readRecords({}, &cache);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(state.readRecords({}, &cache), first);
    // A replaced file is read anew; a removed one is gone; a file others may write is refused again.
    write("a", 2);
    std::filesystem::remove(state.recordPath("b"));
    auto second = state.readRecords({}, &cache);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].ts, 2);
    ::chmod(state.recordPath("a").c_str(), 0666);
    EXPECT_TRUE(state.readRecords({}, &cache).empty());
    EXPECT_EQ(state.readRecords({}, &cache), state.readRecords());
}

TEST(RecordCacheTest, GivenTheNamesThatChangedLooksAtThoseOnly) {
    RecordsDir records;
    const StateDir& state = records.state;
    auto write = [&](const std::string& id, double ts) { records.write(id, ts); };
    auto stamps = [](const std::vector<Record>& records) {
        std::vector<std::pair<std::string, double>> seen;
        for (const auto& record : records) seen.emplace_back(record.sessionID, record.ts);
        return seen;
    };
    using Seen = std::vector<std::pair<std::string, double>>;
    write("a", 1);
    write("b", 1);
    RecordCache cache;
    const std::set<std::string> none;
    // Names alone mean nothing before the cache has read a listing.
    EXPECT_EQ(stamps(state.readRecords({}, &cache, &none)), (Seen{{"a", 1}, {"b", 1}}));
    write("b", 2);
    EXPECT_EQ(stamps(state.readRecords({}, &cache, &none)), (Seen{{"a", 1}, {"b", 1}}));  // not looked at
    const std::set<std::string> changedB{"b.json"};
    EXPECT_EQ(stamps(state.readRecords({}, &cache, &changedB)), (Seen{{"a", 1}, {"b", 2}}));
    write("c", 3);
    std::filesystem::remove(state.recordPath("a"));
    const std::set<std::string> mixed{"a.json", "c.json", ".c.json.1.tmp", "c.phase"};
    EXPECT_EQ(stamps(state.readRecords({}, &cache, &mixed)), (Seen{{"b", 2}, {"c", 3}}));
    EXPECT_EQ(state.readRecords({}, &cache, &none), state.readRecords());
}

}  // namespace
}  // namespace tracker
