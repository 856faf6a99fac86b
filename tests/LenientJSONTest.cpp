#include <gtest/gtest.h>

#include "Core/LenientJSON.hpp"
#include "Core/StatusInput.hpp"

namespace tracker {
namespace {

struct Mending {
    std::string bytes;
    std::string mended;
};

class LenientJSONMending : public ::testing::TestWithParam<Mending> {};

TEST_P(LenientJSONMending, MendsOnlyWhatStopsTheParser) {
    EXPECT_EQ(LenientJSON::mended(GetParam().bytes), GetParam().mended);
    EXPECT_TRUE(LenientJSON::parse(GetParam().bytes)) << GetParam().bytes;
}

INSTANTIATE_TEST_SUITE_P(Flaws, LenientJSONMending,
                         ::testing::Values(Mending{R"({"a": "x\ud800y"})", R"({"a": "x\ufffdy"})"},
                                           Mending{R"({"a": "\udc00"})", R"({"a": "\ufffd"})"},
                                           Mending{R"({"a": "\ud83d\ude00 \\ud800"})",
                                                   R"({"a": "\ud83d\ude00 \\ud800"})"},
                                           Mending{R"({"a": 1e400, "b": -1E+999, "c": 1e-400, "d": [2.5]})",
                                                   R"({"a": null, "b": null, "c": 1e-400, "d": [2.5]})"},
                                           Mending{"{\"a\": \"1e400\xff\"}", "{\"a\": \"1e400\xEF\xBF\xBD\"}"},
                                           Mending{"{\"a\": \"line\nbreak\"}", R"({"a": "line\u000abreak"})"}));

TEST(StatusInputFlaws, OneFlawCostsOnlyItsOwnValue) {
    for (const std::string flaw : {"\"\xc3\"", R"("\ud800")", "1e400", "\"\x01\""}) {
        StatusInput input = StatusInput::fromBytes(R"({"session_id": "s1", "cwd": )" + flaw +
                                                   R"(, "rate_limits": {"five_hour": {"used_percentage": 42}}})");
        EXPECT_EQ(input.sessionID, "s1") << flaw;
        EXPECT_EQ(input.rateLimits.at("five_hour").at("used_percentage"), 42) << flaw;
    }
    EXPECT_EQ(StatusInput::fromBytes(R"({"session_id": "s1")").sessionID, "");
}

}  // namespace
}  // namespace tracker
