#include <gtest/gtest.h>

#include <string>

#include "Core/JSONScan.hpp"
#include "Core/StatusInput.hpp"

namespace tracker {
namespace {

// The whole document parsed, with every member but a, b and c left out; none when it does not parse as an
// object.
std::optional<JSONObject> wholeWithOnlyABC(const std::string& bytes) {
    auto whole = JSONFile::parse(bytes);
    if (!whole || !whole->is_object()) return std::nullopt;
    JSONObject kept;
    for (const char* key : {"a", "b", "c"}) {
        if (const JSON* value = JSONCoerce::member(*whole, key)) kept[key] = *value;
    }
    return kept;
}

struct Document {
    std::string bytes;
    // Whether the scan takes it itself; when not, its caller parses the whole.
    bool scanned;
};

class JSONScanPick : public ::testing::TestWithParam<Document> {};

TEST_P(JSONScanPick, GivesWhatTheParserGivesOrLeavesItToTheParser) {
    const std::string& bytes = GetParam().bytes;
    auto picked = JSONScan::pick(bytes, {"a", "b", "c"});
    ASSERT_EQ(picked.has_value(), GetParam().scanned) << bytes;
    if (picked) {
        auto whole = wholeWithOnlyABC(bytes);
        ASSERT_TRUE(whole) << "scanned what the parser refuses: " << bytes;
        EXPECT_EQ(JSON(*picked), JSON(*whole)) << bytes;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scanned, JSONScanPick,
    ::testing::Values(
        Document{R"({"a": "x", "z": {"deep": [1, 2, {"b": 3}]}, "b": {"c": [true, false, null]}})", true},
        Document{" \t\r\n{ } \n", true}, Document{R"({"z": 1})", true},
        // A key given twice keeps its last value; an escaped key is the key it spells.
        Document{R"({"a": 1, "a": 2, "\u0062": "\u00e9\ud83d\ude00\n\"\\\/", "c\u0000": 4})", true},
        Document{"{\"a\": \"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\", \"b\": [\"\xef\xbf\xbf\"]}", true},
        Document{R"({"a": [-0, 0.5, 1e307, 1E-999, -12.5e+3, 123456789012345678901234567890], "b": 7})", true},
        Document{"{\"a\": " + std::string(JSONFile::maxDepth - 1, '[') + std::string(JSONFile::maxDepth - 1, ']') + "}",
                 true}));

INSTANTIATE_TEST_SUITE_P(
    LeftToTheParser, JSONScanPick,
    ::testing::Values(
        Document{"", false}, Document{"[1]", false}, Document{R"("a")", false}, Document{"\xef\xbb\xbf{}", false},
        Document{R"({"a": 1} x)", false}, Document{R"({"a": 1,})", false}, Document{R"({"a": [1,]})", false},
        Document{R"({"a" 1})", false}, Document{R"({"a": 01})", false}, Document{R"({"a": 1.})", false},
        Document{R"({"a": .5})", false}, Document{R"({"a": +1})", false}, Document{R"({"a": 1e})", false},
        Document{R"({"a": NaN})", false}, Document{R"({"a": tru})", false}, Document{R"({'a': 1})", false},
        Document{"{\"a\": 1} // note", false}, Document{R"({"a": "x)", false}, Document{R"({"a": "\x"})", false},
        Document{R"({"a": "\u12"})", false}, Document{R"({"a": "\ud800"})", false},
        Document{R"({"a": "\udc00\ud800"})", false}, Document{R"({"a": "\ud800\u0041"})", false},
        Document{"{\"a\": \"tab\there\"}", false}, Document{std::string("{\"a\": \"\0\"}", 9), false},
        Document{"{\"a\": \"\xc0\x80\"}", false}, Document{"{\"a\": \"\xed\xa0\x80\"}", false},
        Document{"{\"a\": \"\xf4\x90\x80\x80\"}", false}, Document{"{\"a\": \"\xe2\x82\"}", false},
        Document{"{\"a\": \"\x80\"}", false},
        // A number that might not fit a double, and nesting past the readers' limit.
        Document{R"({"a": 1e400})", false}, Document{R"({"a": 1e99999})", false},
        Document{"{\"a\": 1" + std::string(310, '0') + "}", false},
        Document{"{\"z\": " + std::string(JSONFile::maxDepth, '[') + std::string(JSONFile::maxDepth, ']') + "}",
                 false}));

TEST(JSONScanText, DecodesWhatTheParserDecodes) {
    for (const std::string literal :
         {R"("plain")", R"("")", R"("\u00e9\ud83d\ude00\b\f\n\r\t\"\\\/")", "\"\xe2\x82\xac raw\"", R"("\u0000")"}) {
        auto parsed = JSONFile::parse("[" + literal + "]");
        ASSERT_TRUE(parsed) << literal;
        EXPECT_EQ(JSONScan::text(literal), parsed->at(0).get<std::string>()) << literal;
    }
    for (const std::string broken : {R"(plain)", R"("open)", R"("a" )", R"("\ud800")", "\"\xff\""}) {
        EXPECT_FALSE(JSONScan::text(broken)) << broken;
    }
}

TEST(JSONScanText, FindsWhatEndsAPlainRunWhereverItFalls) {
    // Plain runs are taken eight bytes at a time: each thing that ends one is tried at every place in and
    // around those eight.
    for (std::size_t at = 0; at < 20; ++at) {
        for (const std::string stop : {"\\\"", "\\\\", "\\n", "\xc3\xa9", "\x7f", " ", "\x1f", "\x01", "\x80"}) {
            const std::string literal = "\"" + std::string(at, 'a') + stop + std::string(20 - at, 'b') + "\"";
            auto parsed = JSONFile::parse("[" + literal + "]");
            auto text = JSONScan::text(literal);
            ASSERT_EQ(text.has_value(), parsed.has_value()) << literal;
            if (parsed) {
                EXPECT_EQ(*text, parsed->at(0).get<std::string>()) << literal;
            }
        }
    }
}

TEST(StatusInputMembers, AreTheWholeReadingsMembersWhateverTheDocument) {
    const std::initializer_list<std::string_view> keys = {"session_id", "version", "rate_limits"};
    for (
        const std::string& bytes : std::vector<std::string>{
            R"({"session_id": "s1", "cwd": "/x", "version": "2.1", "rate_limits": {"five_hour": {"used_percentage": 42}}})",
            R"({"session_id": "s1", "cwd": "\ud800", "rate_limits": {"five_hour": {"used_percentage": 42}}})",
            "{\"session_id\": \"s\xff\", \"version\": 3, \"rate_limits\": [1]}", R"({"session_id": "s1")", "[]",
            R"({"rate_limits": {"a": 1e400}, "session_id": "s2"})"}) {
        StatusInput whole = StatusInput::fromBytes(bytes);
        StatusInput some = StatusInput::fromBytes(bytes, keys);
        EXPECT_EQ(some.sessionID, whole.sessionID) << bytes;
        EXPECT_EQ(some.version, whole.version) << bytes;
        EXPECT_EQ(JSON(some.rateLimits), JSON(whole.rateLimits)) << bytes;
        for (const auto& [key, value] : some.status) {
            EXPECT_EQ(value, whole.status.at(key)) << bytes;
        }
        EXPECT_FALSE(some.status.contains("cwd")) << bytes;
    }
}

}  // namespace
}  // namespace tracker
