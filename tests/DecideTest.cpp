#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "Core/Decide.hpp"

namespace tracker {
namespace {

constexpr double now = 1'000'000;

Record record(const std::string& id, std::int64_t pid, double ts, std::optional<double> used,
              std::optional<double> resets = now + 3600) {
    Record r;
    r.sessionID = id;
    r.pid = pid;
    r.ts = ts;
    r.pidStart = "Tue Dec  8 01:16:34 2026";
    r.shape = Shape::a;
    JSONObject window;
    if (used) window["used_percentage"] = *used;
    if (resets) window["resets_at"] = *resets;
    r.rateLimits["five_hour"] = window;
    return r;
}

struct World {
    std::set<std::int64_t> dead;
    std::set<std::int64_t> unverified;
    TrackerConfig config;

    Action decide(const std::vector<Record>& records, std::optional<Pause> pause = std::nullopt,
                  std::optional<LastThaw> lastThaw = std::nullopt, double at = now,
                  std::optional<PauseRequest> request = std::nullopt) const {
        return Decide::decide({records, alive(), verified(), pause, request, lastThaw, at, config});
    }
    Decide::RecordPredicate alive() const {
        return [this](const Record& r) { return !dead.count(r.pid); };
    }
    Decide::RecordPredicate verified() const {
        return [this](const Record& r) { return !unverified.count(r.pid); };
    }
};

Pause pauseUntil(double resumeAt, std::vector<Target> targets = {}) {
    return Pause{now - 100, resumeAt, std::move(targets), "r", "s", schemaVersion};
}

TEST(DecidePause, ThawsAtTheResumeTimeAndWaitsBefore) {
    World world;
    std::vector<Target> targets{Target{5, "x", std::nullopt, Shape::a, "s"}};
    auto atResume = world.decide({}, pauseUntil(now, targets));
    ASSERT_TRUE(atResume.isThaw());
    EXPECT_EQ(atResume.targets(), targets);
    EXPECT_EQ(atResume.reason(), "resume_at reached (1000000)");

    auto before = world.decide({record("s", 5, now, 100)}, pauseUntil(now + 1, targets));
    ASSERT_TRUE(before.isNothing());
    EXPECT_EQ(before.reason(), "paused until 1000001 (1 s left)");

    auto emptyPast = world.decide({}, pauseUntil(now - 10));
    ASSERT_TRUE(emptyPast.isThaw());
    EXPECT_TRUE(emptyPast.targets().empty());
}

TEST(DecidePause, AResumeTimeThatIsNotANumberIsDueNow) {
    // A hand-edited "resume_at": "nan" must not hold sessions forever.
    World world;
    auto action = world.decide({}, pauseUntil(std::nan("")));
    EXPECT_TRUE(action.isThaw());
}

TEST(DecideTruth, NoFreshUsableRecord) {
    World world;
    world.dead = {2};
    const std::string reason = "no fresh record with rate_limits.five_hour";
    EXPECT_EQ(world.decide({}).reason(), reason);
    EXPECT_EQ(world.decide({record("dead", 2, now, 99)}).reason(), reason);
    EXPECT_EQ(world.decide({record("old", 3, now - 1801, 99)}).reason(), reason);
    EXPECT_EQ(world.decide({record("noused", 3, now, std::nullopt)}).reason(), reason);
    EXPECT_EQ(world.decide({record("noreset", 3, now, 99, std::nullopt)}).reason(), reason);
    Record noWindow = record("nowindow", 3, now, 99);
    noWindow.rateLimits.clear();
    EXPECT_EQ(world.decide({noWindow}).reason(), reason);
    // Exactly staleAfter old is still fresh.
    EXPECT_TRUE(world.decide({record("edge", 3, now - 1800, 99)}).isFreeze());
}

// The account's figure: within the current window the highest report, whichever session sent it last.
struct TruthCase {
    const char* name;
    std::vector<Record> records;
    const char* source;  // the session whose figure decides; "" none
};

TEST(DecideTruth, TheHighestReportOfTheCurrentWindow) {
    const double window = now + 3600;
    auto report = [&](const char* id, std::int64_t pid, double ts, double used, double resets) {
        return record(id, pid, ts, used, resets);
    };
    const std::vector<TruthCase> cases{
        // An idle session repeats the figure of its last reply with a fresh time.
        {"an idle session's old figure",
         {report("active", 3, now - 30, 95, window), report("idle", 4, now, 50, window)},
         "active"},
        // A clock that stepped back: a report stamped later than now is not trusted.
        {"stamped in the future",
         {report("future", 4, now + 3000, 50, window), report("real", 3, now - 5, 95, window)},
         "real"},
        {"only from the future", {report("future", 4, now + 1, 95, window)}, ""},
        // The window a second either way is the same window.
        {"the reset a second later", {report("a", 3, now - 10, 95, window + 1), report("b", 4, now, 60, window)}, "a"},
        // The previous window's figure, though fresher, is over; the current one's decides.
        {"the previous window", {report("old", 3, now, 99, now - 100), report("new", 4, now - 10, 95, window)}, "new"},
        {"only the previous window", {report("old", 3, now, 99, now - 100)}, "old"},
        // Equal figures: the freshest, then the earliest in the list.
        {"equal figures", {report("first", 3, now - 5, 95, window), report("second", 4, now, 95, window)}, "second"},
        {"equal figures and times",
         {report("first", 3, now, 95, window), report("second", 4, now, 95, window)},
         "first"},
        {"one report", {report("first", 3, now, 95, window), report("second", 4, now, 10, window)}, "first"},
    };
    World world;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto truth = Decide::pickTruth(c.records, now, world.config, world.alive());
        EXPECT_EQ(truth ? truth->sessionID : "", c.source);
    }
    // What it decides: the active session's 95 % holds them all.
    auto action = world.decide(cases[0].records);
    ASSERT_TRUE(action.isFreeze()) << action.reason();
    EXPECT_EQ(action.freeze()->sourceSession, "active");
    EXPECT_EQ(action.targets().size(), 2u);
}

TEST(DecideThreshold, EqualityFreezesAndResetPastDoesNot) {
    World world;
    auto equal = world.decide({record("s", 3, now, 90)});
    ASSERT_TRUE(equal.isFreeze());
    EXPECT_EQ(equal.reason(), "90.0% >= 90.0%");
    EXPECT_FALSE(equal.freeze()->reFreeze);
    EXPECT_EQ(world.decide({record("s", 3, now, 89.9)}).reason(), "below threshold: 89.9% < 90.0%");
    EXPECT_EQ(world.decide({record("s", 3, now, 95, now)}).reason(), "resets_at 1000000 already past");
}

TEST(DecideLastThaw, GraceAndSameWindow) {
    World world;
    const double thawAt = now - 1000;
    auto grace = world.decide({record("s", 3, thawAt + 60, 95)}, std::nullopt, LastThaw{thawAt, now - 2000});
    EXPECT_EQ(grace.reason(), "post-thaw grace: record ts 999060 <= thaw 999000 + 60s");
    EXPECT_TRUE(world.decide({record("s", 3, thawAt + 61, 95)}, std::nullopt, LastThaw{thawAt, now - 2000}).isFreeze());

    const double resets = now + 3600;
    auto same = world.decide({record("s", 3, now, 95, resets)}, std::nullopt, LastThaw{thawAt, resets});
    EXPECT_EQ(same.reason(), "same window as last freeze (resets_at 1003600 <= 1003600)");
    auto next = world.decide({record("s", 3, now, 95, resets + 1)}, std::nullopt, LastThaw{thawAt, resets});
    ASSERT_TRUE(next.isFreeze());
    EXPECT_TRUE(next.freeze()->reFreeze);

    // A thaw at 0 is no thaw at all.
    auto zero = world.decide({record("s", 3, now, 95, resets)}, std::nullopt, LastThaw{0, resets + 100});
    ASSERT_TRUE(zero.isFreeze());
    EXPECT_FALSE(zero.freeze()->reFreeze);
}

TEST(DecideLastThaw, GraceThatIsNoWholeNumberStillReadsSafely) {
    // config.json cannot give one (it is set aside for the default), the decision reads one safely all the same.
    World world;
    EXPECT_EQ(TrackerConfig::fromJSON({{"grace", "inf"}}).grace, TrackerConfig::defaultGrace);
    world.config.grace = INFINITY;
    auto infinite = world.decide({record("s", 3, now, 95)}, std::nullopt, LastThaw{now - 10, 0});
    EXPECT_EQ(infinite.reason(), "post-thaw grace: record ts 1000000 <= thaw 999990 + 9223372036854775807s");
    world.config.grace = std::nan("");  // a NaN grace never holds a record back
    EXPECT_TRUE(world.decide({record("s", 3, now, 95)}, std::nullopt, LastThaw{now - 10, 0}).isFreeze());
    world.config.grace = 59.9;
    EXPECT_EQ(world.decide({record("s", 3, now - 941, 95)}, std::nullopt, LastThaw{now - 1000, 0}).reason(),
              "post-thaw grace: record ts 999059 <= thaw 999000 + 59s");
}

TEST(DecideTargets, ExemptUnverifiedAndDuplicatePids) {
    World world;
    Record exempt = record("exempt", 3, now, 95);
    exempt.exempt = true;
    EXPECT_EQ(world.decide({exempt}).reason(), "at 95.0% but no signalable target (all exempt/unverified)");

    world.unverified = {4};
    Record other = record("other", 4, now - 10, 10);
    EXPECT_TRUE(world.decide({exempt, other}).isNothing());

    // The exempt truth still freezes the others.
    Record third = record("third", 5, now - 10, 10);
    Record sameProcess = record("again", 5, now - 5, 10);
    third.parentShellPID = 77;
    third.shape = Shape::b;
    auto action = world.decide({exempt, other, third, sameProcess});
    ASSERT_TRUE(action.isFreeze());
    EXPECT_EQ(action.freeze()->sourceSession, "exempt");
    ASSERT_EQ(action.targets().size(), 1u);
    EXPECT_EQ(action.targets()[0], (Target{5, third.pidStart, 77, Shape::b, "third"}));
}

TEST(DecideResume, CappedByMaxFreezeAndTheWindow) {
    World world;
    auto far = world.decide({record("s", 3, 1000, 95, 50000)}, std::nullopt, std::nullopt, 1000);
    ASSERT_TRUE(far.isFreeze());
    EXPECT_EQ(far.freeze()->resumeAt, 19600);
    EXPECT_EQ(far.freeze()->resetsAt, 50000);
    EXPECT_EQ(far.freeze()->usedPercentage, 95);
    auto near = world.decide({record("s", 3, 1000, 95, 5000)}, std::nullopt, std::nullopt, 1000);
    EXPECT_EQ(near.freeze()->resumeAt, 5000);

    // A max_freeze that is not a number never leaves the pause without an end.
    world.config.maxFreeze = std::nan("");
    auto odd = world.decide({record("s", 3, 1000, 95, 5000)}, std::nullopt, std::nullopt, 1000);
    EXPECT_EQ(odd.freeze()->resumeAt, 5000);
}

TEST(DecideValues, FiguresThatAreNotNumbersNeverFreeze) {
    World world;
    for (auto [used, resets] : std::vector<std::pair<double, double>>{
             {std::nan(""), now + 3600}, {INFINITY, now + 3600}, {95, std::nan("")}, {95, INFINITY}}) {
        Record r = record("s", 5, now, 0, 0);
        r.rateLimits["five_hour"] = JSONObject{{"used_percentage", used}, {"resets_at", resets}};
        EXPECT_TRUE(world.decide({r}).isNothing()) << used << " " << resets;
    }
}

// A request for a pause or its end is decided first; when it comes to nothing, the usage decides.
TEST(DecideRequest, WhatEachRequestComesTo) {
    World world;
    const std::vector<Record> low{record("low", 3, now, 40)};
    const std::vector<Record> high{record("high", 3, now, 95)};
    const Pause usage = pauseUntil(now + 600, {Target{3, "x", std::nullopt, Shape::a, "low"}});
    Pause manual = usage;
    manual.manualUntil = now + 600;
    manual.usage[UsageWindow::fiveHour] = WindowHold{now + 300, now + 300};
    const PauseRequest pause{PauseRequest::Kind::pause, now + 7200, now};
    const PauseRequest resume{PauseRequest::Kind::resume, std::nullopt, now};
    struct Case {
        const char* name;
        std::vector<Record> records;
        std::optional<Pause> standing;
        PauseRequest request;
        const char* kind;
        std::string request_;
    };
    for (const auto& c : std::vector<Case>{
             {"pause, none stands", low, std::nullopt, pause, "freeze", "pause asked for until "},
             {"pause over the usage's", low, usage, pause, "replace", "pause asked for until "},
             {"pause, nobody to hold: the usage decides",
              {},
              std::nullopt,
              pause,
              "nothing",
              "pause asked for, but no"},
             {"pause with an end past", high, std::nullopt, PauseRequest{PauseRequest::Kind::pause, now - 1, now},
              "freeze", "pause asked for until a time that is not ahead"},
             {"resume of the usage's", low, usage, resume, "nothing", "resume asked for, but the hold"},
             {"resume, the usage's part stands on", low, manual, resume, "replace", "resume asked for: the usage"},
             {"resume, none stands", low, std::nullopt, resume, "nothing", "resume asked for, but no pause stands"},
         }) {
        SCOPED_TRACE(c.name);
        Action action = world.decide(c.records, c.standing, std::nullopt, now, c.request);
        const char* kind = action.isFreeze()    ? "freeze"
                           : action.isReplace() ? "replace"
                           : action.isThaw()    ? "thaw"
                                                : "nothing";
        EXPECT_EQ(std::string(kind), c.kind) << action.describe();
        ASSERT_TRUE(action.request);
        EXPECT_EQ(action.request->rfind(c.request_, 0), 0u) << *action.request;
    }
    // A request found long after it was made (the daemon did not run) is not carried out; the usage decides.
    auto old = world.decide(low, std::nullopt, std::nullopt, now,
                            PauseRequest{PauseRequest::Kind::pause, now + 7200, now - 20 * 3600});
    EXPECT_TRUE(old.isNothing());
    EXPECT_NE(old.request->find("too old, not carried out"), std::string::npos) << *old.request;
    EXPECT_TRUE(world
                    .decide(low, std::nullopt, std::nullopt, now,
                            PauseRequest{PauseRequest::Kind::pause, now + 7200, now - 599})
                    .isFreeze());
    // A resume of a pause asked for alone ends it; one over the usage's hold ends only its own part.
    manual.usage.clear();
    EXPECT_TRUE(world.decide(low, manual, std::nullopt, now, resume).isThaw());
    auto stands =
        world.decide(low, Pause(manual), std::nullopt, now, PauseRequest{PauseRequest::Kind::pause, now + 60, now});
    ASSERT_TRUE(stands.isReplace());
    EXPECT_EQ(stands.replace()->pause.manualUntil, now + 60);
}

// While a pause asked for stands, the usage's hold that ends later makes it last that long.
TEST(DecideRequest, TheUsageExtendsAPauseAskedFor) {
    World world;
    Pause manual = pauseUntil(now + 600, {Target{3, "x", std::nullopt, Shape::a, "a"}});
    manual.manualUntil = now + 600;
    auto extended = world.decide({record("b", 4, now, 95)}, manual);
    ASSERT_TRUE(extended.isReplace()) << extended.describe();
    EXPECT_EQ(extended.replace()->pause.resumeAt, now + 3600);
    EXPECT_EQ(extended.replace()->pause.usageUntil(), now + 3600);
    EXPECT_EQ(extended.targets().size(), 2u);
    EXPECT_FALSE(extended.request);
    // Once it ends later, nothing changes: the pause stands.
    EXPECT_TRUE(world.decide({record("b", 4, now, 95)}, extended.replace()->pause).isNothing());
}

// While the usage holds, a session it does not name yet is held too, to the same end: one that started, or
// whose first record came, after the freeze.
TEST(DecideLateSessions, ASessionThatStartsDuringAUsageHoldIsHeldToo) {
    World world;
    world.unverified = {7};
    const Target held{3, "x", std::nullopt, Shape::a, "a"};
    Pause usage = pauseUntil(now + 600, {held});
    Record exempt = record("exempt", 6, now, std::nullopt);
    exempt.exempt = true;
    const std::vector<Record> records{record("a", 3, now, 95),
                                      record("late", 4, now - 1, std::nullopt),
                                      record("stale", 5, now - 1801, 40),
                                      exempt,
                                      record("other", 7, now, 10),
                                      record("again", 4, now, 20)};
    auto grown = world.decide(records, usage);
    ASSERT_TRUE(grown.isReplace()) << grown.describe();
    EXPECT_EQ(grown.reason(), "1 session(s) started during the hold");
    EXPECT_EQ(grown.replace()->pause.resumeAt, usage.resumeAt);
    ASSERT_EQ(grown.targets().size(), 2u);
    EXPECT_EQ(grown.targets()[1].sessionID, "late");
    // Once it names them, nothing is left to add.
    EXPECT_TRUE(world.decide(records, grown.replace()->pause).isNothing());

    // A pause asked for alone holds what it held when it was asked for; once the usage holds beside it, the
    // late ones too.
    std::vector<Record> low = records;
    low[0] = record("a", 3, now, 40);
    Pause manual = usage;
    manual.manualUntil = now + 600;
    EXPECT_TRUE(world.decide(low, manual).isNothing());
    manual.usage[UsageWindow::fiveHour] = WindowHold{now + 300, now + 300};
    EXPECT_TRUE(world.decide(low, manual).isReplace());
}

// Every window of the account against its own threshold: the one that ends last holds, each part says its window,
// and a window is not held for twice (nor again once its hold was ended for good).
TEST(DecideWindows, EachWindowHoldsToItsOwnReset) {
    constexpr double week = now + 3 * 86400;
    constexpr double month = now + 20 * 86400;
    auto account = [&](std::optional<double> fiveHour, std::optional<double> sevenDay, std::optional<double> spend) {
        Record r = record("a", 3, now, fiveHour.value_or(10));
        if (sevenDay) r.rateLimits["seven_day"] = JSONObject{{"used_percentage", *sevenDay}, {"resets_at", week}};
        if (spend) r.rateLimits["spend_limit"] = JSONObject{{"used_percentage", *spend}, {"resets_at", month}};
        return r;
    };
    const std::vector<Target> held{Target{3, "x", std::nullopt, Shape::a, "a"}};
    Pause weekly = pauseUntil(week, held);
    weekly.usage[UsageWindow::sevenDay] = WindowHold{week, week};
    Pause shortWeek = pauseUntil(now + 600, held);
    shortWeek.usage[UsageWindow::fiveHour] = WindowHold{now + 600, now + 3600};
    LastThaw released{now - 3600, 0};
    released.done[UsageWindow::sevenDay] = week;
    struct Case {
        const char* name;
        Record record;
        JSONObject settings;
        std::optional<Pause> standing;
        std::optional<LastThaw> lastThaw;
        const char* kind;
        double resumeAt;  // of the pause it makes; 0 for none
        std::vector<UsageWindow> parts;
        UsageWindow window;
    };
    const std::vector<UsageWindow> none;
    const std::vector<Case> cases{
        {"weekly at its threshold, five-hour low",
         account(40, 95, {}),
         {},
         {},
         {},
         "freeze",
         week,
         {UsageWindow::sevenDay},
         UsageWindow::sevenDay},
        {"weekly below", account(40, 94.9, {}), {}, {}, {}, "nothing", 0, none, UsageWindow::fiveHour},
        {"weekly off",
         account(40, 99, {}),
         {{"weekly_threshold", "off"}},
         {},
         {},
         "nothing",
         0,
         none,
         UsageWindow::fiveHour},
        {"weekly at 100 is off",
         account(40, 100, {}),
         {{"weekly_threshold", 100}},
         {},
         {},
         "nothing",
         0,
         none,
         UsageWindow::fiveHour},
        {"weekly_max_freeze bounds it",
         account(40, 97, {}),
         {{"weekly_max_freeze", 7200}},
         {},
         {},
         "freeze",
         now + 7200,
         {UsageWindow::sevenDay},
         UsageWindow::sevenDay},
        {"both: the later end wins",
         account(92, 96, {}),
         {},
         {},
         {},
         "freeze",
         week,
         {UsageWindow::fiveHour, UsageWindow::sevenDay},
         UsageWindow::sevenDay},
        {"the week held for already", account(40, 97, {}), {}, weekly, {}, "nothing", 0, none, UsageWindow::fiveHour},
        {"the week's hold ended for good",
         account(40, 97, {}),
         {},
         {},
         released,
         "nothing",
         0,
         none,
         UsageWindow::fiveHour},
        {"the week's hold over a five-hour one",
         account(92, 96, {}),
         {},
         shortWeek,
         {},
         "replace",
         week,
         {UsageWindow::fiveHour, UsageWindow::sevenDay},
         UsageWindow::sevenDay},
        {"spend limit off by default", account(40, 10, 99), {}, {}, {}, "nothing", 0, none, UsageWindow::fiveHour},
        {"spend limit at its threshold",
         account(40, 10, 90),
         {{"spend_threshold", 90}},
         {},
         {},
         "freeze",
         month,
         {UsageWindow::spend},
         UsageWindow::spend},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        world.config = TrackerConfig::fromJSON(c.settings);
        ASSERT_TRUE(world.config.problems.empty());
        Action action = world.decide({c.record}, c.standing, c.lastThaw);
        const char* kind = action.isFreeze() ? "freeze" : action.isReplace() ? "replace" : "nothing";
        ASSERT_EQ(std::string(kind), c.kind) << action.describe();
        if (action.isNothing()) continue;
        const Pause made = action.isFreeze() ? Pause{now,          action.freeze()->resumeAt, {}, "", "", schemaVersion,
                                                     std::nullopt, action.freeze()->usage}
                                             : action.replace()->pause;
        EXPECT_EQ(made.resumeAt, c.resumeAt);
        std::vector<UsageWindow> parts;
        for (const auto& [window, hold] : made.usage) parts.push_back(window);
        EXPECT_EQ(parts, c.parts);
        EXPECT_EQ(made.window(), UsageWindows::name(c.window));
        if (action.isFreeze()) {
            EXPECT_EQ(action.freeze()->window, c.window);
        }
    }
}

// A session its hooks alone registered (a `claude -p` run: no figure) is held with the others; one that reports
// no figure and was not registered by its hooks (an API-key login) spends none of the plan and is not.
TEST(DecideWindows, SessionsKnownFromTheirHooksAreHeldToo) {
    World world;
    Record headless = record("headless", 4, now, std::nullopt, std::nullopt);
    headless.rateLimits.clear();
    headless.fromHooks = true;
    Record apiKey = headless;
    apiKey.sessionID = "api";
    apiKey.pid = 5;
    apiKey.fromHooks = false;
    auto freeze = world.decide({record("a", 3, now, 95), headless, apiKey});
    ASSERT_TRUE(freeze.isFreeze()) << freeze.describe();
    ASSERT_EQ(freeze.targets().size(), 2u);
    EXPECT_EQ(freeze.targets()[1].sessionID, "headless");
    // Alone, with no figure anywhere, nothing holds.
    EXPECT_TRUE(world.decide({headless}).isNothing());
}

// `tarnel resume --usage` ends every usage part, keeps a part asked for, and the thaw carries the pause as it
// ended, so that the windows it held for are not held for again.
TEST(DecideWindows, AResumeOfTheUsageEndsItsParts) {
    World world;
    Pause both = pauseUntil(now + 3 * 86400, {Target{3, "x", std::nullopt, Shape::a, "a"}});
    both.usage[UsageWindow::fiveHour] = WindowHold{now + 3600, now + 3600};
    both.usage[UsageWindow::sevenDay] = WindowHold{now + 3 * 86400, now + 3 * 86400};
    PauseRequest resume{PauseRequest::Kind::resume, std::nullopt, now};
    resume.usage = true;
    auto thaw = world.decide({}, both, std::nullopt, now, resume);
    ASSERT_TRUE(thaw.isThaw()) << thaw.describe();
    ASSERT_TRUE(thaw.thaw()->ended);
    for (const auto& [window, hold] : thaw.thaw()->ended->usage) EXPECT_TRUE(hold.released);

    Pause manual = both;
    manual.manualUntil = now + 7200;
    auto stands = world.decide({}, manual, std::nullopt, now, resume);
    ASSERT_TRUE(stands.isReplace()) << stands.describe();
    EXPECT_EQ(stands.replace()->pause.resumeAt, now + 7200);
    EXPECT_FALSE(stands.replace()->pause.usageHolds(now));
    // A plain resume ends only the part asked for: the usage's parts stand on.
    resume.usage = false;
    auto usageStands = world.decide({}, manual, std::nullopt, now, resume);
    ASSERT_TRUE(usageStands.isReplace()) << usageStands.describe();
    EXPECT_EQ(usageStands.replace()->pause.resumeAt, now + 3 * 86400);
}

}  // namespace
}  // namespace tracker
