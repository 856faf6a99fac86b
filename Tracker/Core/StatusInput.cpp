#include "Core/StatusInput.hpp"

#include "Core/JSONScan.hpp"
#include "Core/LenientJSON.hpp"

namespace tracker {

namespace {

std::string textMember(const JSONObject& object, const char* key) {
    const JSON* value = JSONCoerce::member(object, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

StatusInput fromObject(JSONObject status) {
    StatusInput input;
    input.status = std::move(status);
    input.sessionID = textMember(input.status, "session_id");
    input.version = textMember(input.status, "version");
    if (const JSON* limits = JSONCoerce::member(input.status, "rate_limits"); limits && limits->is_object()) {
        // Copied into the record on every refresh: a few hundred bytes from Claude Code, never megabytes.
        if (limits->dump().size() <= StatusInput::maxRateLimitsBytes) input.rateLimits = limits->get<JSONObject>();
    }
    return input;
}

// The whole document read leniently, an empty object when it is not one.
JSONObject wholeObject(std::string_view bytes) {
    if (auto parsed = LenientJSON::parse(bytes); parsed && parsed->is_object()) {
        return std::move(parsed->get_ref<JSONObject&>());
    }
    return {};
}

}  // namespace

StatusInput StatusInput::fromBytes(std::string_view bytes) {
    return fromObject(wholeObject(bytes));
}

StatusInput StatusInput::fromBytes(std::string_view bytes, std::initializer_list<std::string_view> keys) {
    if (auto picked = JSONScan::pick(bytes, keys)) return fromObject(std::move(*picked));
    // A flawed or unusual document: the lenient reading of the whole, then only the members asked for.
    JSONObject whole = wholeObject(bytes);
    JSONObject kept;
    for (std::string_view key : keys) {
        if (auto it = whole.find(key); it != whole.end()) kept[it->first] = std::move(it->second);
    }
    return fromObject(std::move(kept));
}

}  // namespace tracker
