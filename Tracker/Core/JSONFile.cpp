#include "Core/JSONFile.hpp"

#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "Core/FileRead.hpp"
#include "Core/FileWrite.hpp"
#include "Core/RandomNumber.hpp"

namespace tracker {

namespace {

std::string describe(JSONFileError::Kind kind, const std::string& message) {
    if (kind == JSONFileError::Kind::notSerializable) return "notSerializable";
    return "writeFailed(\"" + message + "\")";
}

// True when every number in value is finite and every text is valid UTF-8.
bool serializable(const JSON& value) {
    switch (value.type()) {
        case JSON::value_t::number_float:
            return std::isfinite(value.get<double>());
        case JSON::value_t::binary:
        case JSON::value_t::discarded:
            return false;
        case JSON::value_t::object:
        case JSON::value_t::array:
            for (const auto& element : value) {
                if (!serializable(element)) return false;
            }
            return true;
        default:
            return true;
    }
}

// The POSIX locale, whatever the process locale is, for strtod.
locale_t cLocale() {
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

constexpr double twoTo63 = 9223372036854775808.0;
constexpr double twoTo53 = 9007199254740992.0;

}  // namespace

JSONFileError::JSONFileError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), described_(describe(kind_, message_)) {}

JSONFileError JSONFileError::writeFailed(std::string message) {
    return JSONFileError(Kind::writeFailed, std::move(message));
}

JSONFileError JSONFileError::notSerializable() {
    return JSONFileError(Kind::notSerializable, {});
}

namespace JSONFile {

namespace {

// parse, for bytes whose depth was checked already.
std::optional<JSON> parseShallow(std::string_view bytes) {
    JSON value = JSON::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

std::string tooLarge(std::uintmax_t size) {
    return "is " + std::to_string(size) + " bytes, more than the " + std::to_string(maxDocumentBytes) +
           " a state document may have";
}

}  // namespace

std::size_t nestingDepth(std::string_view bytes, std::size_t limit) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : bytes) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
            if (deepest > limit) return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

namespace {

// Takes every event and keeps nothing but the first error's place and message.
class ErrorOnly : public nlohmann::json_sax<JSON> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) override {
        position_ = position;
        message_ = error.what();
        return false;
    }

    std::size_t position() const { return position_; }
    const std::string& message() const { return message_; }

private:
    std::size_t position_ = 0;
    std::string message_;
};

}  // namespace

std::string ParseError::text() const {
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + what;
}

std::optional<ParseError> parseError(std::string_view bytes) {
    ErrorOnly handler;
    if (JSON::sax_parse(bytes.begin(), bytes.end(), &handler, nlohmann::detail::input_format_t::json, true)) {
        return std::nullopt;
    }
    // The position counts the bytes read, the one the parser stopped at among them.
    const std::size_t at = std::min(handler.position() > 0 ? handler.position() - 1 : 0, bytes.size());
    ParseError error;
    const std::string_view before = bytes.substr(0, at);
    error.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t lineStart = before.rfind('\n');
    error.column = at - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    // The library's message, without its own prefix and place: "... - unexpected '}'; expected string literal".
    std::string message = handler.message();
    if (auto dash = message.find(" - "); dash != std::string::npos) {
        message.erase(0, dash + 3);
    } else if (auto colon = message.find(": "); colon != std::string::npos) {
        message.erase(0, colon + 2);
    }
    error.what = message;
    return error;
}

std::optional<JSON> parse(std::string_view bytes) {
    if (nestingDepth(bytes, maxDepth) > maxDepth) return std::nullopt;
    return parseShallow(bytes);
}

std::optional<JSON> read(const std::string& path, const RefusalHook& refused) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    auto value = regular ? readOpen(fd, info, path, refused) : std::nullopt;
    ::close(fd);
    return value;
}

std::optional<JSON> readOpen(int fd, const struct stat& info, const std::string& path, const RefusalHook& refused,
                             std::optional<ParseError>* unparsed) {
    if (static_cast<std::uintmax_t>(info.st_size) > maxDocumentBytes) {
        if (refused) refused(path, tooLarge(static_cast<std::uintmax_t>(info.st_size)));
        return std::nullopt;
    }
    // The file may have grown since fstat: a read that ends at its size is taken as its end, more is read on.
    FileRead::Outcome outcome = FileRead::all(fd, maxDocumentBytes, static_cast<std::size_t>(info.st_size));
    if (!outcome.complete()) {
        if (outcome.tooLarge && refused) refused(path, tooLarge(maxDocumentBytes + 1));
        return std::nullopt;
    }
    if (nestingDepth(outcome.bytes, maxDepth) > maxDepth) {
        if (refused) refused(path, "is nested deeper than " + std::to_string(maxDepth) + " levels");
        return std::nullopt;
    }
    auto value = parseShallow(outcome.bytes);
    if (!value && unparsed) *unparsed = parseError(outcome.bytes);
    return value;
}

std::optional<JSONObject> readObject(const std::string& path, const RefusalHook& refused) {
    auto value = read(path, refused);
    if (!value || !value->is_object()) return std::nullopt;
    return value->get_ref<const JSONObject&>();
}

std::string serialize(const JSON& value) {
    if (!(value.is_object() || value.is_array()) || !serializable(value)) throw JSONFileError::notSerializable();
    std::string text;
    try {
        text = value.dump(2, ' ', false, JSON::error_handler_t::strict);
    } catch (const JSON::type_error&) {
        // Text that is not valid UTF-8 has no JSON form.
        throw JSONFileError::notSerializable();
    }
    text.push_back('\n');
    return text;
}

namespace {

// Puts the temporary file in place of path; false (with errno) when it could not. A rename over an existing
// file makes some file systems (ext4) write the new bytes out there and then, and free the old file's at once:
// worth it for a durable file, which was flushed anyway, not for one rewritten every few seconds. Such a file
// swaps places with the regular file it replaces, which is then removed under the temporary name.
bool putInPlace(const std::string& temporary, const std::string& path, bool durable) {
#ifdef RENAME_EXCHANGE
    struct stat existing {};
    if (!durable && ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(temporary.c_str());
        return true;
    }
#endif
    return ::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

void atomicWrite(const JSON& value, const std::string& path, bool durable, const FileMode& mode) {
    atomicWriteBytes(serialize(value), path, durable, mode);
}

void atomicWriteBytes(const std::string& bytes, const std::string& path, bool durable, const FileMode& mode) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path directory = target.parent_path();
    if (!directory.empty()) {
        std::error_code ignored;
        fs::create_directories(directory, ignored);
    }

    // Built by appending: "." + a temporary string makes GCC 12 warn of an overlapping copy that cannot happen.
    std::string temporaryName(1, '.');
    temporaryName.append(target.filename().string())
        .append(".")
        .append(std::to_string(::getpid()))
        .append(".")
        .append(std::to_string(randomU32()))
        .append(".tmp");
    const std::string temporary = directory.empty() ? temporaryName : (directory / temporaryName).string();

    // Creation and opening are one step, so a file we could not open was never made.
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) throw JSONFileError::writeFailed("could not create " + temporary);

    if (mode.uid || mode.gid) {
        // Giving a file away needs privilege: without it the file stays ours.
        uid_t uid = mode.uid ? static_cast<uid_t>(*mode.uid) : static_cast<uid_t>(-1);
        gid_t gid = mode.gid ? static_cast<gid_t>(*mode.gid) : static_cast<gid_t>(-1);
        if (::fchown(fd, uid, gid) != 0 && mode.gid) {
            int ignored = ::fchown(fd, static_cast<uid_t>(-1), gid);
            (void)ignored;
        }
    }
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode.permissions & 07777)) == 0;
    ok = ok && FileWrite::all(fd, bytes) && (!durable || ::fsync(fd) == 0);
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        throw JSONFileError::writeFailed(std::strerror(savedErrno));
    }

    if (!putInPlace(temporary, path, durable)) {
        savedErrno = errno;
        ::unlink(temporary.c_str());
        throw JSONFileError::writeFailed(std::string("rename: ") + std::strerror(savedErrno));
    }
}

std::string spareOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    std::string spare = path.substr(0, name);
    spare.append(".").append(path, name, std::string::npos).append(".spare");
    return spare;
}

namespace {

// The spare written whole and swapped in; false where it could not serve, with the file as it was.
bool swapInSpare(const std::string& bytes, const std::string& path, const std::string& spare, mode_t permissions) {
#ifdef RENAME_EXCHANGE
    const int fd = ::open(spare.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    // Two writers of one file at once: the one that finds the spare taken makes a temporary file. The lock goes
    // with the descriptor; the spare it held may meanwhile have become the file, which it must then leave be.
    struct stat held {};
    struct stat named {};
    bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && ::lstat(spare.c_str(), &named) == 0 &&
              held.st_dev == named.st_dev && held.st_ino == named.st_ino && S_ISREG(held.st_mode) &&
              held.st_nlink == 1 && held.st_uid == ::geteuid();
    ok = ok && ((held.st_mode & 07777) == permissions || ::fchmod(fd, permissions) == 0);
    // Over the old bytes, then cut to length where they were longer: emptying the file first would make ext4
    // write it out at close.
    const off_t length = static_cast<off_t>(bytes.size());
    ok = ok && FileWrite::all(fd, bytes) && (held.st_size <= length || ::ftruncate(fd, length) == 0);
    if (ok) {
        ok = ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0;
        // The first write of the file: the spare becomes it.
        if (!ok && errno == ENOENT) {
            ok = ::renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
        }
    }
    ::close(fd);
    return ok;
#else
    (void)bytes, (void)path, (void)spare, (void)permissions;
    return false;
#endif
}

}  // namespace

void rewriteThroughSpare(const std::string& bytes, const std::string& path, const FileMode& mode) {
    if (!mode.uid && !mode.gid &&
        swapInSpare(bytes, path, spareOf(path), static_cast<mode_t>(mode.permissions & 07777))) {
        return;
    }
    atomicWriteBytes(bytes, path, /*durable=*/false, mode);
}

}  // namespace JSONFile

namespace JSONCoerce {

namespace {

std::optional<std::int64_t> integerFromText(const std::string& text) {
    size_t start = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        start = 1;
    }
    if (start == text.size()) return std::nullopt;
    for (size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    }
    // Parse the digits with the sign attached so INT64_MIN stays in range.
    std::string digits(negative ? "-" : "");
    digits.append(text, start);
    std::int64_t result = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return result;
}

std::optional<std::int64_t> integerFromDouble(double d) {
    if (!std::isfinite(d)) return std::nullopt;
    double truncated = std::trunc(d);
    if (truncated < -twoTo63 || truncated >= twoTo63) return std::nullopt;
    return static_cast<std::int64_t>(truncated);
}

std::optional<double> doubleFromText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    unsigned char first = static_cast<unsigned char>(text[0]);
    if (std::isspace(first)) return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    double result = strtod_l(begin, &end, cLocale());
    if (end != begin + text.size()) return std::nullopt;
    return result;
}

// Shortest text that reads back as d; whole values print without a fraction.
std::string doubleText(double d) {
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < twoTo53) {
        return std::to_string(static_cast<std::int64_t>(d));
    }
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, d);
    if (error != std::errc()) return std::to_string(d);
    return std::string(buffer, end);
}

}  // namespace

std::optional<std::int64_t> toInt(const JSON* value) {
    if (!value) return std::nullopt;
    switch (value->type()) {
        case JSON::value_t::boolean:
            return value->get<bool>() ? 1 : 0;
        case JSON::value_t::number_integer:
            return value->get<std::int64_t>();
        case JSON::value_t::number_unsigned: {
            auto u = value->get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        case JSON::value_t::number_float:
            return integerFromDouble(value->get<double>());
        case JSON::value_t::string:
            return integerFromText(value->get_ref<const std::string&>());
        default:
            return std::nullopt;
    }
}

std::optional<double> toDouble(const JSON* value) {
    if (!value) return std::nullopt;
    switch (value->type()) {
        case JSON::value_t::boolean:
            return value->get<bool>() ? 1.0 : 0.0;
        case JSON::value_t::number_integer:
            return static_cast<double>(value->get<std::int64_t>());
        case JSON::value_t::number_unsigned:
            return static_cast<double>(value->get<std::uint64_t>());
        case JSON::value_t::number_float:
            return value->get<double>();
        case JSON::value_t::string:
            return doubleFromText(value->get_ref<const std::string&>());
        default:
            return std::nullopt;
    }
}

std::optional<std::string> toString(const JSON* value) {
    if (!value) return std::nullopt;
    switch (value->type()) {
        case JSON::value_t::string:
            return value->get<std::string>();
        case JSON::value_t::boolean:
            return std::string(value->get<bool>() ? "1" : "0");
        case JSON::value_t::number_integer:
            return std::to_string(value->get<std::int64_t>());
        case JSON::value_t::number_unsigned:
            return std::to_string(value->get<std::uint64_t>());
        case JSON::value_t::number_float:
            return doubleText(value->get<double>());
        default:
            return std::nullopt;
    }
}

bool toBool(const JSON* value) {
    if (!value) return false;
    switch (value->type()) {
        case JSON::value_t::boolean:
            return value->get<bool>();
        case JSON::value_t::number_integer:
            return value->get<std::int64_t>() != 0;
        case JSON::value_t::number_unsigned:
            return value->get<std::uint64_t>() != 0;
        case JSON::value_t::number_float:
            return value->get<double>() != 0.0;
        case JSON::value_t::string: {
            const auto& text = value->get_ref<const std::string&>();
            return !(text.empty() || text == "false" || text == "0");
        }
        default:
            return false;
    }
}

std::optional<std::int64_t> optionalPID(const JSON* value) {
    auto pid = toInt(value);
    if (!pid || *pid <= 0) return std::nullopt;
    return pid;
}

JSON stamp(double d) {
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < twoTo53) return static_cast<std::int64_t>(d);
    return d;
}

const JSON* member(const JSONObject& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &it->second;
}

const JSON* member(const JSON& value, const std::string& key) {
    if (!value.is_object()) return nullptr;
    return member(value.get_ref<const JSONObject&>(), key);
}

}  // namespace JSONCoerce

}  // namespace tracker
