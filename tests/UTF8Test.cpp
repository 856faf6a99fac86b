#include <gtest/gtest.h>

#include <string>

#include "Core/UTF8.hpp"

namespace tracker {
namespace {

const std::string fffd = "\xEF\xBF\xBD";

TEST(UTF8Repaired, KeepsValidText) {
    std::string text = "plain \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";
    EXPECT_EQ(UTF8::repaired(text), text);
    EXPECT_EQ(UTF8::repaired(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(UTF8Repaired, ReplacesEachMaximalSubpart) {
    EXPECT_EQ(UTF8::repaired("\xFF"), fffd);
    EXPECT_EQ(UTF8::repaired("a\x80"
                             "b"),
              "a" + fffd + "b");
    // A truncated sequence is one replacement, at the end and in the middle.
    EXPECT_EQ(UTF8::repaired("\xF0\x9F\x98"), fffd);
    EXPECT_EQ(UTF8::repaired("\xE2\x82x"), fffd + "x");
    // Overlong forms and surrogates: the lead cannot continue, so each byte.
    EXPECT_EQ(UTF8::repaired("\xC0\xAF"), fffd + fffd);
    EXPECT_EQ(UTF8::repaired("\xE0\x80\xAF"), fffd + fffd + fffd);
    EXPECT_EQ(UTF8::repaired("\xED\xA0\x80"), fffd + fffd + fffd);
    // Beyond U+10FFFF.
    EXPECT_EQ(UTF8::repaired("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
    // A lead followed by another lead.
    EXPECT_EQ(UTF8::repaired("\xC3\xC3\xBC"), fffd + "\xC3\xBC");
}

TEST(UTF8Trimmed, RemovesHorizontalSpaceOnly) {
    EXPECT_EQ(UTF8::trimmed("  \t a b \t "), "a b");
    EXPECT_EQ(UTF8::trimmed("\xC2\xA0\xE3\x80\x80x\xE2\x80\xAF"), "x");
    EXPECT_EQ(UTF8::trimmed("\nx\n"), "\nx\n");
    EXPECT_EQ(UTF8::trimmed(" \t "), "");
    EXPECT_EQ(UTF8::trimmed(""), "");
    // A broken sequence next to a blank is kept as it is.
    EXPECT_EQ(UTF8::trimmed(" \xA0 "), "\xA0");
    EXPECT_EQ(UTF8::trimmed("x\xC2 "), "x\xC2");
}

}  // namespace
}  // namespace tracker
