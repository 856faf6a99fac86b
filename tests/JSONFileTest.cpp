#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "Core/JSONFile.hpp"
#include "TestSupport.hpp"

namespace tracker {
namespace {

using test::TempDir;

std::vector<std::string> hiddenEntries(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        auto name = entry.path().filename().string();
        if (!name.empty() && name[0] == '.') names.push_back(name);
    }
    return names;
}

TEST(JSONFileRead, AcceptsAnyTopLevelValueAndTreatsDamageAsAbsent) {
    TempDir dir;
    test::writeFile(dir.file("number.json"), "42");
    test::writeFile(dir.file("empty.json"), "");
    test::writeFile(dir.file("broken.json"), "{\"a\": ");
    test::writeFile(dir.file("object.json"), "{\"a\": [1, 2]}");

    ASSERT_TRUE(JSONFile::read(dir.file("number.json")));
    EXPECT_EQ(*JSONFile::read(dir.file("number.json")), 42);
    EXPECT_FALSE(JSONFile::readObject(dir.file("number.json")));
    EXPECT_FALSE(JSONFile::read(dir.file("empty.json")));
    EXPECT_FALSE(JSONFile::read(dir.file("broken.json")));
    EXPECT_FALSE(JSONFile::read(dir.file("missing.json")));
    EXPECT_FALSE(JSONFile::read(dir.path()));  // a directory is not a document
    ASSERT_TRUE(JSONFile::readObject(dir.file("object.json")));
    EXPECT_EQ(JSONFile::readObject(dir.file("object.json"))->at("a").size(), 2u);
}

TEST(JSONFileRead, DocumentsNestedTooDeeplyReadAsAbsentWithTheReason) {
    test::TempDir dir;
    const std::size_t limit = JSONFile::maxDepth;
    auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(JSONFile::parse(nested(limit)));
    EXPECT_FALSE(JSONFile::parse(nested(limit + 1)));
    // Brackets inside texts are text, escaped quotes included.
    EXPECT_TRUE(JSONFile::parse("[\"" + std::string(5000, '[') + "\\\"\"]"));
    EXPECT_EQ(JSONFile::nestingDepth(R"({"a": [{"b": "]]]"}]})", 100), 3u);
    // 2 MB of "[": no crash, no value, one reason for the caller.
    test::writeFile(dir.file("deep.json"), std::string(2 << 20, '['));
    std::vector<std::string> told;
    EXPECT_FALSE(JSONFile::read(dir.file("deep.json"),
                                [&](const std::string&, const std::string& why) { told.push_back(why); }));
    EXPECT_EQ(told, std::vector<std::string>{"is nested deeper than 128 levels"});
}

// Where a document stops being JSON, as a person editing it counts: lines and columns from 1.
TEST(JSONFileParseError, NamesTheLineAndColumnWhereParsingStopped) {
    const struct {
        const char* bytes;
        std::optional<JSONFile::ParseError> error;
    } cases[] = {
        {R"({"threshold": 85})", std::nullopt},
        {"[]", std::nullopt},
        {R"({"threshold": 85,})", JSONFile::ParseError{1, 18, "unexpected '}'; expected string literal"}},
        {"{\n  \"threshold\": 85,\n}\n", JSONFile::ParseError{3, 1, "unexpected '}'; expected string literal"}},
        {"", JSONFile::ParseError{1, 1, "unexpected end of input; expected '[', '{', or a literal"}},
        {"{\"a\": 1", JSONFile::ParseError{1, 8, "unexpected end of input; expected '}'"}},
        {"{\"a\": 1} x", JSONFile::ParseError{1, 10, "invalid literal; last read: '1} x'; expected end of input"}},
    };
    for (const auto& c : cases) EXPECT_EQ(JSONFile::parseError(c.bytes), c.error) << c.bytes;

    // A raw line break in a text is found on the line it ends; any depth is looked at without building it.
    auto broken = JSONFile::parseError("{\"a\": \"b\n\"}");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->text().rfind("line 1, column 9: invalid string", 0), 0u) << broken->text();
    const std::string deep = std::string(100000, '[') + "}";
    broken = JSONFile::parseError(deep);
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->column, 100001u);
}

TEST(JSONFileSerialize, SortsKeysKeepsSlashesAndEndsWithNewline) {
    JSON value = JSONObject{{"b", 1}, {"a", "/usr/local/bin/tarnel-tee"}};
    std::string text = JSONFile::serialize(value);
    EXPECT_EQ(text, "{\n  \"a\": \"/usr/local/bin/tarnel-tee\",\n  \"b\": 1\n}\n");
    EXPECT_EQ(*JSONFile::parse(text), value);
}

TEST(JSONFileSerialize, RefusesWhatIsNotADocument) {
    auto refused = [](const JSON& value) {
        try {
            JSONFile::serialize(value);
        } catch (const JSONFileError& error) {
            return error.kind() == JSONFileError::Kind::notSerializable &&
                   std::string(error.what()) == "notSerializable";
        }
        return false;
    };
    EXPECT_TRUE(refused(JSON(42)));
    EXPECT_TRUE(refused(JSON("text")));
    EXPECT_TRUE(refused(JSON(nullptr)));
    EXPECT_TRUE(refused(JSONObject{{"x", std::nan("")}}));
    EXPECT_TRUE(refused(JSONObject{{"x", JSONArray{1.0, std::numeric_limits<double>::infinity()}}}));
    EXPECT_TRUE(refused(JSONObject{{"x", std::string("\xff\xfe")}}));
    EXPECT_FALSE(refused(JSONArray{}));
}

TEST(JSONFileAtomicWrite, ReplacesTheFileAndLeavesNoTemporary) {
    TempDir dir;
    std::string path = dir.file("pause.json");
    test::writeFile(path, "old");
    JSONFile::atomicWrite(JSONObject{{"resume_at", 5}}, path, true);
    EXPECT_EQ(test::readFile(path), "{\n  \"resume_at\": 5\n}\n");
    JSONFile::atomicWrite(JSONObject{{"resume_at", 6}}, path, false);
    EXPECT_EQ((*JSONFile::readObject(path))["resume_at"], 6);
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

// Whether flushed or not (a file that is not swaps places with the one it replaces), what stood at the path
// is replaced as by a rename: a reader of the old file keeps reading it, a link is replaced (not followed), a
// directory is no file to replace.
TEST(JSONFileAtomicWrite, ReplacesWhatStoodThereAsARenameWould) {
    for (bool durable : {false, true}) {
        SCOPED_TRACE(durable ? "durable" : "not durable");
        TempDir dir;
        const std::string path = dir.file("record.json");
        test::writeFile(path, "old");
        const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        JSONFile::atomicWrite(JSONObject{{"k", 1}}, path, durable);
        EXPECT_EQ((*JSONFile::readObject(path))["k"], 1);
        char bytes[8] = {};
        EXPECT_EQ(::pread(reader, bytes, sizeof bytes, 0), 3);
        EXPECT_EQ(std::string(bytes), "old");
        ::close(reader);
        struct stat info {};
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0600u);

        test::writeFile(dir.file("elsewhere"), "kept");
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), path.c_str()), 0);
        JSONFile::atomicWrite(JSONObject{{"k", 2}}, path, durable);
        ASSERT_EQ(::lstat(path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(test::readFile(dir.file("elsewhere")), "kept");

        std::filesystem::create_directories(dir.file("directory.json/inside"));
        EXPECT_THROW(JSONFile::atomicWrite(JSONObject{}, dir.file("directory.json"), durable), JSONFileError);
        EXPECT_TRUE(std::filesystem::is_directory(dir.file("directory.json/inside")));
        EXPECT_TRUE(hiddenEntries(dir.path()).empty());
    }
}

// A file rewritten through its spare: the spare keeps the bytes before, the two files take turns, and the
// file holds exactly the bytes written (a shorter text leaves nothing of a longer one, a longer or equal one
// nothing of what the spare held).
TEST(JSONFileRewriteThroughSpare, TheFileAndItsSpareTakeTurns) {
    TempDir dir;
    const std::string path = dir.file("s.json");
    const std::string spare = JSONFile::spareOf(path);
    EXPECT_EQ(spare, dir.file(".s.json.spare"));
    auto inode = [](const std::string& file) {
        struct stat info {};
        return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    JSONFile::rewriteThroughSpare("first, and long\n", path);
    EXPECT_EQ(test::readFile(path), "first, and long\n");
    EXPECT_FALSE(test::fileExists(spare));
    const auto firstInode = inode(path);
    JSONFile::rewriteThroughSpare("second\n", path);
    EXPECT_EQ(test::readFile(path), "second\n");
    EXPECT_EQ(test::readFile(spare), "first, and long\n");
    JSONFile::rewriteThroughSpare("third\n", path);
    EXPECT_EQ(test::readFile(path), "third\n");
    EXPECT_EQ(inode(path), firstInode);
    JSONFile::rewriteThroughSpare("fourth, longer\n", path);  // over the shorter "second"
    EXPECT_EQ(test::readFile(path), "fourth, longer\n");
    JSONFile::rewriteThroughSpare("fifth\n", path);  // over "third", as long
    EXPECT_EQ(test::readFile(path), "fifth\n");
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(hiddenEntries(dir.path()), std::vector<std::string>{".s.json.spare"});  // and no temporary
}

// A spare that cannot serve is left as it is, and the file is replaced all the same.
TEST(JSONFileRewriteThroughSpare, ASpareThatCannotServeIsLeftAlone) {
    const std::vector<std::string> kinds = {"held by another writer", "a link", "a second name of another file",
                                            "a directory", "open to others"};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind);
        TempDir dir;
        const std::string path = dir.file("s.json");
        const std::string spare = JSONFile::spareOf(path);
        const std::string other = dir.file("other");
        test::writeFile(path, "old\n");
        test::writeFile(other, "not ours to write\n");
        int held = -1;
        if (kind == "held by another writer") {
            test::writeFile(spare, "spare\n");
            held = ::open(spare.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(held, LOCK_EX), 0);
        } else if (kind == "a link") {
            std::filesystem::create_symlink(other, spare);
        } else if (kind == "a second name of another file") {
            std::filesystem::create_hard_link(other, spare);
        } else if (kind == "a directory") {
            std::filesystem::create_directory(spare);
        } else {
            test::writeFile(spare, "spare\n");
            ::chmod(spare.c_str(), 0666);
        }
        JSONFile::rewriteThroughSpare("new\n", path);
        EXPECT_EQ(test::readFile(path), "new\n");
        EXPECT_EQ(test::readFile(other), "not ours to write\n");
        if (kind == "held by another writer") {
            EXPECT_EQ(test::readFile(spare), "spare\n");
            ::close(held);
        }
        if (kind == "open to others") {
            // Ours, and only a mode to mend: it serves, as the user's alone.
            struct stat info {};
            ASSERT_EQ(::stat(path.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0600u);
            EXPECT_EQ(test::readFile(spare), "old\n");
        }
        for (const auto& name : hiddenEntries(dir.path())) EXPECT_FALSE(name.ends_with(".tmp")) << name;
    }
}

TEST(JSONFileAtomicWrite, CreatesMissingDirectories) {
    TempDir dir;
    std::string path = dir.file("a/b/record.json");
    JSONFile::atomicWrite(JSONObject{{"k", "v"}}, path, false);
    EXPECT_EQ((*JSONFile::readObject(path))["k"], "v");
}

TEST(JSONFileAtomicWrite, FailuresThrowTheirMessageAndKeepTheOldContent) {
    if (geteuid() == 0) {
        // Root writes through permission bits; an unwritable place is a path
        // under a regular file instead.
        TempDir dir;
        test::writeFile(dir.file("plain"), "x");
        try {
            JSONFile::atomicWrite(JSONObject{}, dir.file("plain/target.json"), false);
            FAIL() << "write under a regular file succeeded";
        } catch (const JSONFileError& error) {
            EXPECT_EQ(error.kind(), JSONFileError::Kind::writeFailed);
            EXPECT_EQ(error.message().rfind("could not create " + dir.file("plain/.target.json."), 0), 0u)
                << error.message();
            EXPECT_EQ(std::string(error.what()).rfind("writeFailed(\"could not create ", 0), 0u);
        }
    } else {
        TempDir dir;
        std::string path = dir.file("pause.json");
        test::writeFile(path, "{}\n");
        chmod(dir.path().c_str(), 0555);
        EXPECT_THROW(JSONFile::atomicWrite(JSONObject{}, path, false), JSONFileError);
        chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(test::readFile(path), "{}\n");
    }

    // A rename onto a directory fails after the temporary was written: the
    // message names the step and the temporary is gone again.
    TempDir dir;
    std::filesystem::create_directories(dir.file("target.json/inside"));
    try {
        JSONFile::atomicWrite(JSONObject{{"a", 1}}, dir.file("target.json"), true);
        FAIL() << "rename onto a non-empty directory succeeded";
    } catch (const JSONFileError& error) {
        EXPECT_EQ(error.message().rfind("rename: ", 0), 0u) << error.message();
    }
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

TEST(JSONFileAtomicWrite, NotSerializableTouchesNothing) {
    TempDir dir;
    std::string path = dir.file("x/doc.json");
    EXPECT_THROW(JSONFile::atomicWrite(JSONObject{{"x", std::nan("")}}, path, false), JSONFileError);
    EXPECT_FALSE(test::fileExists(dir.file("x")));
}

// Coercions

TEST(JSONCoerceInt, AcceptsNumbersAndStrictDecimalText) {
    auto i = [](const JSON& v) { return JSONCoerce::toInt(&v); };
    EXPECT_EQ(i("42"), 42);
    EXPECT_EQ(i("+7"), 7);
    EXPECT_EQ(i("-3"), -3);
    EXPECT_EQ(i(3.9), 3);
    EXPECT_EQ(i(-3.9), -3);
    EXPECT_EQ(i(true), 1);
    EXPECT_EQ(i(false), 0);
    EXPECT_EQ(i("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(i("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    for (const JSON& bad : {JSON("+"), JSON(" 42"), JSON("42 "), JSON("1.5"), JSON("12abc"), JSON(""),
                            JSON("9223372036854775808"), JSON(nullptr), JSON::array(), JSON::object()}) {
        EXPECT_FALSE(i(bad)) << bad.dump();
    }
    EXPECT_FALSE(JSONCoerce::toInt(nullptr));
}

TEST(JSONCoerceInt, NumbersOutsideTheRangeAreAbsentNotUndefined) {
    auto i = [](const JSON& v) { return JSONCoerce::toInt(&v); };
    EXPECT_FALSE(i(JSON(std::uint64_t{9223372036854775808u})));
    EXPECT_EQ(i(JSON(std::uint64_t{9223372036854775807u})), std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(i(1e300));
    EXPECT_FALSE(i(-1e300));
    EXPECT_FALSE(i(9223372036854775808.0));
    EXPECT_EQ(i(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(i(std::nan("")));
    EXPECT_FALSE(i(std::numeric_limits<double>::infinity()));
    // What the parser makes of a huge literal is a double; still absent.
    EXPECT_FALSE(JSONCoerce::toInt(&*JSONFile::parse("[184467440737095516160]")->begin()));
}

TEST(JSONCoerceDouble, ReadsWholeCLocaleLiterals) {
    auto d = [](const JSON& v) { return JSONCoerce::toDouble(&v); };
    EXPECT_EQ(d("1.5"), 1.5);
    EXPECT_EQ(d("1e3"), 1000);
    EXPECT_EQ(d("0x10"), 16);
    EXPECT_EQ(d("-2"), -2);
    EXPECT_TRUE(std::isinf(*d("inf")));
    EXPECT_TRUE(std::isnan(*d("nan")));
    EXPECT_EQ(d(true), 1);
    EXPECT_EQ(d(std::uint64_t{18446744073709551615u}), 18446744073709551615.0);
    for (const JSON& bad :
         {JSON(" 1.5"), JSON("1.5 "), JSON("abc"), JSON(""), JSON("1,5"), JSON(nullptr), JSON::array()}) {
        EXPECT_FALSE(d(bad)) << bad.dump();
    }
}

TEST(JSONCoerceDouble, IgnoresTheProcessLocale) {
    // A locale with a decimal comma must not change what "1.5" means.
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = previous ? previous : "C";
    bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    JSON text("1.5");
    EXPECT_EQ(JSONCoerce::toDouble(&text), 1.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!switched) GTEST_SKIP() << "no decimal-comma locale installed; checked in the C locale only";
}

TEST(JSONCoerceText, StringsBooleansAndPIDs) {
    auto s = [](const JSON& v) { return JSONCoerce::toString(&v); };
    EXPECT_EQ(s(7), "7");
    EXPECT_EQ(s(true), "1");
    EXPECT_EQ(s(1.5), "1.5");
    EXPECT_EQ(s(7.0), "7");
    EXPECT_EQ(s("x"), "x");
    EXPECT_FALSE(s(nullptr));
    EXPECT_FALSE(s(JSON::object()));

    auto b = [](const JSON& v) { return JSONCoerce::toBool(&v); };
    for (const JSON& yes : {JSON("true"), JSON("yes"), JSON("False"), JSON(2), JSON(true), JSON(-0.5)}) {
        EXPECT_TRUE(b(yes)) << yes.dump();
    }
    for (const JSON& no : {JSON("false"), JSON("0"), JSON(""), JSON(0), JSON(false), JSON(nullptr), JSON::array()}) {
        EXPECT_FALSE(b(no)) << no.dump();
    }
    EXPECT_FALSE(JSONCoerce::toBool(nullptr));

    auto p = [](const JSON& v) { return JSONCoerce::optionalPID(&v); };
    EXPECT_EQ(p("77"), 77);
    EXPECT_EQ(p(77), 77);
    for (const JSON& none : {JSON("null"), JSON("abc"), JSON(""), JSON(0), JSON(-1), JSON(nullptr)}) {
        EXPECT_FALSE(p(none)) << none.dump();
    }
}

TEST(JSONCoerceStamp, IntegersOnlyForWholeValuesBelowTwoToThe53) {
    EXPECT_TRUE(JSONCoerce::stamp(1796702400).is_number_integer());
    EXPECT_EQ(JSONCoerce::stamp(1796702400), 1796702400);
    EXPECT_TRUE(JSONCoerce::stamp(1796702400.5).is_number_float());
    EXPECT_TRUE(JSONCoerce::stamp(9007199254740992.0).is_number_float());
    EXPECT_TRUE(JSONCoerce::stamp(-9007199254740991.0).is_number_integer());
    EXPECT_TRUE(JSONCoerce::stamp(std::nan("")).is_number_float());
}

}  // namespace
}  // namespace tracker
