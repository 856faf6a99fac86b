#include <gtest/gtest.h>

#include "Core/JSONFile.hpp"
#include "Core/Proc.hpp"
#include "Core/Records.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

std::optional<Record> recordFrom(const std::string& text) {
    auto value = JSONFile::parse(text);
    return Record::fromJSON(value ? &*value : nullptr);
}

TEST(Shape, TextsAndParsing) {
    EXPECT_STREQ(shapeText(Shape::b), "B");
    EXPECT_EQ(parseShapeExact("C"), Shape::c);
    EXPECT_FALSE(parseShapeExact("c"));
    EXPECT_EQ(parseShape(std::string("unknown")), Shape::unknown);
    EXPECT_EQ(parseShape(std::string("a")), Shape::unknown);
    EXPECT_EQ(parseShape(std::string("D")), Shape::unknown);
    EXPECT_EQ(parseShape(std::nullopt), Shape::unknown);
}

// What reports print of a session id: its first 8 characters, no control byte left to move the terminal's cursor.
TEST(SessionIDs, ShownShortAndEscaped) {
    EXPECT_EQ(shortSessionID("12f8c8e2-9ad7-4bc5"), "12f8c8e2");
    EXPECT_EQ(shortSessionID(""), "?");
    EXPECT_EQ(shortSessionID("ab\x1b[2Jcdef"), "ab\\x1b[2Jcd");
    EXPECT_EQ(shortSessionID("a\nb"), "a\\nb");
}

TEST(RecordRead, UnreadableWithoutSessionOrPositivePid) {
    EXPECT_FALSE(recordFrom(R"({"pid": 5})"));
    EXPECT_FALSE(recordFrom(R"({"session_id": "", "pid": 5})"));
    EXPECT_FALSE(recordFrom(R"({"session_id": "s"})"));
    EXPECT_FALSE(recordFrom(R"({"session_id": "s", "pid": 0})"));
    EXPECT_FALSE(recordFrom(R"({"session_id": "s", "pid": -4})"));
    EXPECT_FALSE(recordFrom(R"({"session_id": "s", "pid": "abc"})"));
    EXPECT_FALSE(recordFrom(R"([{"session_id": "s", "pid": 5}])"));
    EXPECT_FALSE(Record::fromJSON(nullptr));
    ASSERT_TRUE(recordFrom(R"({"session_id": "s", "pid": "4242"})"));
    EXPECT_EQ(recordFrom(R"({"session_id": "s", "pid": "4242"})")->pid, 4242);
    EXPECT_EQ(recordFrom(R"({"session_id": true, "pid": true})")->sessionID, "1");
}

TEST(RecordRead, DefaultsForEverythingElse) {
    auto record = recordFrom(R"({"session_id": "s", "pid": 9, "rate_limits": [1]})");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->ts, 0);
    EXPECT_EQ(record->pidStart, "");
    EXPECT_FALSE(record->parentShellPID);
    EXPECT_EQ(record->shape, Shape::unknown);
    EXPECT_FALSE(record->exempt);
    EXPECT_EQ(record->version, "");
    EXPECT_TRUE(record->rateLimits.empty());
    EXPECT_EQ(record->schema, schemaVersion);
    EXPECT_FALSE(record->usedPercentage());
    EXPECT_FALSE(record->resetsAt());
}

TEST(RecordRead, LenientMembers) {
    for (const char* none : {"null", "\"\"", "\"null\"", "0", "-5"}) {
        auto record = recordFrom(std::string(R"({"session_id": "s", "pid": 9, "parent_shell_pid": )") + none + "}");
        ASSERT_TRUE(record);
        EXPECT_FALSE(record->parentShellPID) << none;
    }
    EXPECT_EQ(recordFrom(R"({"session_id": "s", "pid": 9, "parent_shell_pid": "77"})")->parentShellPID, 77);
    EXPECT_EQ(recordFrom(R"({"session_id": "s", "pid": 9, "shape": 2})")->shape, Shape::unknown);
    EXPECT_TRUE(recordFrom(R"({"session_id": "s", "pid": 9, "exempt": "yes"})")->exempt);
    EXPECT_FALSE(recordFrom(R"({"session_id": "s", "pid": 9, "exempt": "0"})")->exempt);
    EXPECT_EQ(recordFrom(R"({"session_id": "s", "pid": 9, "schema_version": "7"})")->schema, 7);

    auto limits = recordFrom(R"({"session_id": "s", "pid": 9, "rate_limits":
        {"five_hour": {"used_percentage": "41.5", "resets_at": 1796702400}, "seven_day": {"x": 1}, "other": [1]}})");
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->usedPercentage(), 41.5);
    EXPECT_EQ(limits->resetsAt(), 1796702400);
    ASSERT_TRUE(limits->sevenDay());
    EXPECT_EQ(limits->rateLimits.at("other"), JSON::array({1}));
    EXPECT_FALSE(recordFrom(R"({"session_id": "s", "pid": 9, "rate_limits": {"five_hour": 3}})")->fiveHour());

    // Earlier tees wrote the boot id's line break into the start id: it reads as the id it is.
    auto earlier = recordFrom(R"({"session_id": "s", "pid": 9, "pid_start_id": "3861-a9ed\n:4242"})");
    ASSERT_TRUE(earlier);
    EXPECT_EQ(earlier->startID, "3861-a9ed:4242");
    ProcessStart running{"3861-a9ed:4242", std::nullopt};
    EXPECT_TRUE(running.matches("", earlier->startID));
}

TEST(RecordWrite, RoundTripsAndWritesStampsAndNulls) {
    Record record{"abc",
                  4242,
                  1796702400,
                  "Tue Dec  8 01:16:34 2026",
                  std::nullopt,
                  Shape::b,
                  true,
                  "2.1.328",
                  JSONObject{{"five_hour", JSONObject{{"used_percentage", 91}, {"resets_at", 1796702400}}}},
                  schemaVersion,
                  std::string("/somewhere/abc.json")};
    JSONObject json = record.toJSON();
    EXPECT_FALSE(json.count("path"));
    EXPECT_TRUE(json.at("ts").is_number_integer());
    EXPECT_TRUE(json.at("parent_shell_pid").is_null());
    EXPECT_EQ(json.at("shape"), "B");

    JSON parsed = *JSONFile::parse(JSONFile::serialize(json));
    auto back = Record::fromJSON(&parsed, record.path);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, record);

    record.ts = 1796702400.25;
    EXPECT_TRUE(record.toJSON().at("ts").is_number_float());
    record.ts = 9007199254740992.0;
    EXPECT_TRUE(record.toJSON().at("ts").is_number_float());
}

TEST(RecordRead, TheFixtureFromClaudeCode) {
    // A status document is no record (no pid), but its rate limits are what
    // the tee copies verbatim.
    auto status = JSONFile::parse(test::statusInputFixture());
    ASSERT_TRUE(status);
    JSONObject rawRecord{
        {"session_id", (*status)["session_id"]}, {"pid", 77}, {"rate_limits", (*status)["rate_limits"]}};
    JSON value = rawRecord;
    auto record = Record::fromJSON(&value);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->usedPercentage(), 41.5);
    EXPECT_EQ(record->resetsAt(), 1796702400);
    EXPECT_EQ(JSON(record->rateLimits), (*status)["rate_limits"]);
}

TEST(PauseDocument, ReadRulesAndRoundTrip) {
    auto pause = [](const std::string& text) {
        auto value = JSONFile::parse(text);
        return Pause::fromJSON(value ? &*value : nullptr);
    };
    EXPECT_FALSE(pause(R"({"targets": [{"pid": 1}]})"));
    EXPECT_FALSE(pause(R"({"resume_at": "soon"})"));
    EXPECT_FALSE(pause(R"([1])"));
    for (const char* targets : {R"({})", R"("x")", "null"}) {
        auto p = pause(std::string(R"({"resume_at": 10, "targets": )") + targets + "}");
        ASSERT_TRUE(p);
        EXPECT_TRUE(p->targets.empty());
    }
    auto three = pause(R"({"resume_at": "10.5", "targets": [{"pid": 1, "shape": "B", "shell_pid": "0"},
                                                            {"shape": "A"}, 7, {"pid": -3, "session_id": 5}]})");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->resumeAt, 10.5);
    ASSERT_EQ(three->targets.size(), 2u);
    EXPECT_EQ(three->targets[0].pid, 1);
    EXPECT_EQ(three->targets[0].shape, Shape::b);
    EXPECT_FALSE(three->targets[0].shellPID);
    EXPECT_EQ(three->targets[1].pid, -3);  // kept as read
    EXPECT_EQ(three->targets[1].sessionID, "5");

    Pause written{100.5,
                  200,
                  {Target{5, "start", 4, Shape::b, "sid"}, Target{6, "", std::nullopt, Shape::c, ""}},
                  "91.0% >= 90.0%",
                  "sid",
                  schemaVersion};
    written.usage[UsageWindow::sevenDay] = WindowHold{150, 400, true};
    written.implyUsage();  // not when it has a part
    JSON parsed = *JSONFile::parse(JSONFile::serialize(written.toJSON()));
    EXPECT_EQ(*Pause::fromJSON(&parsed), written);
    EXPECT_TRUE(parsed["targets"][1]["shell_pid"].is_null());
}

TEST(LastThawDocument, ReadRulesAndRoundTrip) {
    JSON empty = JSON::object();
    ASSERT_TRUE(LastThaw::fromJSON(&empty));
    EXPECT_EQ(*LastThaw::fromJSON(&empty), (LastThaw{0, 0}));
    JSON array = JSON::array();
    EXPECT_FALSE(LastThaw::fromJSON(&array));
    LastThaw thaw{1000.5, 999};
    JSON parsed = *JSONFile::parse(JSONFile::serialize(thaw.toJSON()));
    EXPECT_EQ(parsed.size(), 2u);
    EXPECT_EQ(*LastThaw::fromJSON(&parsed), thaw);
}

}  // namespace
}  // namespace tracker
