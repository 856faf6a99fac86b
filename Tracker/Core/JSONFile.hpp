#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tracker {

using JSON = nlohmann::json;
// Objects keep their members in a std::map, so keys come out sorted.
using JSONObject = nlohmann::json::object_t;
using JSONArray = nlohmann::json::array_t;

// What a write of a JSON document can throw.
class JSONFileError : public std::exception {
public:
    enum class Kind { writeFailed, notSerializable };

    static JSONFileError writeFailed(std::string message);
    static JSONFileError notSerializable();

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // writeFailed("<message>") or notSerializable, as log lines show it.
    const char* what() const noexcept override { return described_.c_str(); }

private:
    JSONFileError(Kind kind, std::string message);
    Kind kind_;
    std::string message_;
    std::string described_;
};

// Lenient reads and atomic writes of the small JSON documents the programs share.
namespace JSONFile {

// Largest document a reader accepts; anything bigger reads as absent.
inline constexpr std::uintmax_t maxDocumentBytes = 16u * 1024u * 1024u;

// Deepest nesting of arrays and objects a reader accepts; a deeper document reads as absent. Far above
// any document of ours or Claude Code's, far below what would exhaust the stack of the recursive copies
// and destructors of a parsed value.
inline constexpr std::size_t maxDepth = 128;

// Where and why bytes are not JSON: the line and column (both from 1; the column counts bytes) of the first
// byte the parser could not take, and what it found there ("unexpected '}'; expected string literal").
struct ParseError {
    std::size_t line = 1;
    std::size_t column = 1;
    std::string what;
    // "line 3, column 1: unexpected '}'; expected string literal"
    std::string text() const;
    bool operator==(const ParseError&) const = default;
};

// Where bytes fail to parse as JSON; none when they parse. Builds no value, so any depth is safe.
std::optional<ParseError> parseError(std::string_view bytes);

// Told the path of a file read as absent for its size or depth, and why ("is 20000000 bytes, more than
// the 16777216 a state document may have"), so that a caller can warn about it.
using RefusalHook = std::function<void(const std::string& path, const std::string& why)>;

// The whole regular file parsed as JSON, any top-level value; absent when the
// file is missing, unreadable, not a regular file (a FIFO would never end),
// too large, nested too deeply or does not parse. Never throws.
std::optional<JSON> read(const std::string& path, const RefusalHook& refused = {});
std::optional<JSONObject> readObject(const std::string& path, const RefusalHook& refused = {});
// The rest of read() for a regular file its caller opened and checked (fd with its fstat): the size and
// depth limits, then the parse. Leaves fd open. When the bytes do not parse, unparsed (when given) gets where.
std::optional<JSON> readOpen(int fd, const struct stat& info, const std::string& path, const RefusalHook& refused = {},
                             std::optional<ParseError>* unparsed = nullptr);
// Parses bytes the way read() does, without the file: absent when they do not parse or nest deeper than
// maxDepth.
std::optional<JSON> parse(std::string_view bytes);
// The deepest nesting of arrays and objects in JSON text, strings skipped, counting stops past limit.
std::size_t nestingDepth(std::string_view bytes, std::size_t limit);

// Sorted keys, pretty printed, "/" unescaped, one final newline. Throws
// notSerializable unless the top level is an object or array and every number
// is finite and every text valid UTF-8.
std::string serialize(const JSON& value);

// The permission bits (exactly these, whatever the umask) and, when given,
// the owner of a file a write makes.
struct FileMode {
    unsigned permissions = 0600;
    std::optional<unsigned> uid;
    std::optional<unsigned> gid;
};

// Replaces the file at path with serialize(value) through a uniquely named
// hidden temporary file in the same directory and a rename (an exchange with
// the file it replaces, where the system has one, when not durable); with
// durable the bytes are flushed to stable storage first. The file gets mode (by default
// 0600, the user's alone). Throws JSONFileError; no temporary file survives a
// failure.
void atomicWrite(const JSON& value, const std::string& path, bool durable, const FileMode& mode = {});
// The same for a document already serialized: bytes are written as they are.
void atomicWriteBytes(const std::string& bytes, const std::string& path, bool durable, const FileMode& mode = {});

// For a file rewritten every few seconds and never flushed (a session's record and phase): the same
// replacement, through a spare beside it (spareOf(path), hidden, never read) that is written whole and then
// swaps places with the file, keeping the old bytes for the next rewrite. A rewrite then makes and removes
// no file, which on ext4 is most of its cost. Where the spare cannot serve (another writer holds it, it is
// not this user's plain file, the system cannot swap two files) it is atomicWriteBytes. Throws JSONFileError.
void rewriteThroughSpare(const std::string& bytes, const std::string& path, const FileMode& mode = {});
// The spare of the file at path: "." + its name + ".spare", in the same directory.
std::string spareOf(const std::string& path);

}  // namespace JSONFile

// The loose typing rules every reader of a document member follows.
// Booleans count as numbers (true is 1).
namespace JSONCoerce {

std::optional<std::int64_t> toInt(const JSON* value);
std::optional<double> toDouble(const JSON* value);
std::optional<std::string> toString(const JSON* value);
bool toBool(const JSON* value);
std::optional<std::int64_t> optionalPID(const JSON* value);
// An integer when d is whole and below 2^53 in magnitude, else d itself.
JSON stamp(double d);

// Member lookup: nullptr when the object lacks the key.
const JSON* member(const JSONObject& object, const std::string& key);
const JSON* member(const JSON& value, const std::string& key);

}  // namespace JSONCoerce

}  // namespace tracker
