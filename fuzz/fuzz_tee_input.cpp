// The tee's standard input: Claude Code's status document, read leniently.
// Properties: the session id, version and rate limits (up to their bound) are
// taken exactly when they have the expected type, and nothing else is; an id the tee accepts names a record
// file directly in sessions/ that the daemon's directory scan does not skip;
// the record the tee would write from the input writes, parses and reads
// back equal, with the same figures; the minimal status line is well formed;
// the few members a run reads are the same read alone as read with the whole.

#include <cmath>
#include <filesystem>
#include <string>

#include "Core/JSONScan.hpp"
#include "Core/LenientJSON.hpp"
#include "Core/Records.hpp"
#include "Core/StateDir.hpp"
#include "Core/StatusInput.hpp"
#include "Core/StatusLine.hpp"
#include "FuzzCheck.hpp"

namespace tracker {
namespace {

using fuzz::literal;

void checkExtraction(const StatusInput& input, const std::string& bytes) {
    // The tee reads its input leniently: a flaw costs only the value it is in.
    auto parsed = LenientJSON::parse(bytes);
    if (!parsed || !parsed->is_object()) {
        FUZZ_CHECK(input == StatusInput{}, literal(bytes));
        return;
    }
    FUZZ_CHECK(JSON(input.status) == *parsed, literal(bytes));
    const JSON* id = JSONCoerce::member(*parsed, "session_id");
    FUZZ_CHECK(input.sessionID == (id && id->is_string() ? id->get<std::string>() : ""), literal(bytes));
    const JSON* version = JSONCoerce::member(*parsed, "version");
    FUZZ_CHECK(input.version == (version && version->is_string() ? version->get<std::string>() : ""), literal(bytes));
    const JSON* limits = JSONCoerce::member(*parsed, "rate_limits");
    const bool copied = limits && limits->is_object() && limits->dump().size() <= StatusInput::maxRateLimitsBytes;
    FUZZ_CHECK(JSON(input.rateLimits) == (copied ? *limits : JSON(JSONObject{})), literal(bytes));
}

// Reading a few members gives what reading the whole gives, whether the scan took the document or left it to the
// parser; and the scan takes nothing the parser refuses.
void checkPicked(const StatusInput& whole, const std::string& bytes) {
    StatusInput some = StatusInput::fromBytes(bytes, {"session_id", "version", "rate_limits"});
    FUZZ_CHECK(
        some.sessionID == whole.sessionID && some.version == whole.version && some.rateLimits == whole.rateLimits,
        literal(bytes));
    for (const auto& [key, value] : some.status) {
        FUZZ_CHECK(whole.status.contains(key) && whole.status.at(key) == value, literal(bytes) + " " + key);
    }
    auto picked = JSONScan::pick(bytes, {"session_id", "a", "rate_limits"});
    if (!picked) return;
    auto parsed = JSONFile::parse(bytes);
    FUZZ_CHECK(parsed && parsed->is_object(), literal(bytes));
    std::size_t found = 0;
    for (const char* key : {"session_id", "a", "rate_limits"}) {
        const JSON* value = JSONCoerce::member(*parsed, key);
        FUZZ_CHECK(picked->contains(key) == (value != nullptr), literal(bytes) + " " + key);
        if (!value) continue;
        ++found;
        FUZZ_CHECK(picked->at(key) == *value, literal(bytes) + " " + key);
    }
    FUZZ_CHECK(picked->size() == found, literal(bytes));
}

void checkRecordFile(const std::string& sessionID) {
    if (!isSafeSessionID(sessionID)) {
        FUZZ_CHECK(sessionID.empty() || sessionID[0] == '.' || sessionID.find('/') != std::string::npos ||
                       sessionID.find('\0') != std::string::npos,
                   literal(sessionID) + " refused");
        return;
    }
    namespace fs = std::filesystem;
    StateDir state("/state");
    fs::path path(state.recordPath(sessionID));
    FUZZ_CHECK(path.lexically_normal().parent_path() == fs::path("/state/sessions"), literal(sessionID));
    std::string name = path.filename().string();
    FUZZ_CHECK(name[0] != '.' && name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0,
               literal(sessionID));
    // A long id is cut, with a hash of the whole added, so the name stays a file name.
    if (sessionID.size() <= StateDir::maxPlainIDBytes) {
        FUZZ_CHECK(name == sessionID + ".json", literal(sessionID));
    } else {
        FUZZ_CHECK(name.size() <= 255 && sessionID.compare(0, name.size() - 22, name, 0, name.size() - 22) == 0,
                   literal(sessionID));
    }
}

void checkRecord(const StatusInput& input, const std::string& bytes) {
    if (input.sessionID.empty()) return;
    Record record;
    record.sessionID = input.sessionID;
    record.pid = 4242;
    record.ts = 1796690000;
    record.pidStart = "Tue Dec  8 01:16:34 2026";
    record.shape = Shape::a;
    record.version = input.version;
    record.rateLimits = input.rateLimits;
    std::string written = JSONFile::serialize(record.toJSON());
    auto again = JSONFile::parse(written);
    FUZZ_CHECK(again.has_value(), written);
    auto reread = Record::fromJSON(&*again);
    FUZZ_CHECK(reread && *reread == record, literal(bytes));
    FUZZ_CHECK(reread->usedPercentage() == record.usedPercentage() ||
                   (std::isnan(*reread->usedPercentage()) && std::isnan(*record.usedPercentage())),
               literal(bytes));
}

void checkStatusLine(const StatusInput& input, const std::string& bytes, double now) {
    auto line = StatusLine::minimal(input.rateLimits, now);
    Record holder;
    holder.rateLimits = input.rateLimits;
    if (!holder.usedPercentage()) FUZZ_CHECK(!line, literal(bytes));
    if (!line) return;
    FUZZ_CHECK(line->starts_with("\u23F3 5h ") && fuzz::validUTF8(*line) && line->find('\n') == std::string::npos,
               literal(bytes) + " -> " + *line);
    std::size_t percent = line->find('%');
    FUZZ_CHECK(percent != std::string::npos, *line);
    std::string rest = line->substr(percent + 1);
    FUZZ_CHECK(rest.empty() || (rest.starts_with(" \u00B7 ") && rest.ends_with("m")), *line);
}

}  // namespace
}  // namespace tracker

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tracker;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    StatusInput input = StatusInput::fromBytes(bytes);
    checkExtraction(input, bytes);
    checkPicked(input, bytes);
    checkRecordFile(input.sessionID);
    checkRecord(input, bytes);
    checkStatusLine(input, bytes, 1796690000);
    checkStatusLine(input, bytes, 0);
    return 0;
}
