#include "Core/StatusInput.hpp"

#include "Core/LenientJSON.hpp"

namespace tracker {

namespace {

std::string textMember(const JSONObject& object, const char* key) {
    const JSON* value = JSONCoerce::member(object, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

}  // namespace

StatusInput StatusInput::fromBytes(std::string_view bytes) {
    StatusInput input;
    if (auto parsed = LenientJSON::parse(bytes); parsed && parsed->is_object()) {
        input.status = std::move(parsed->get_ref<JSONObject&>());
    }
    input.sessionID = textMember(input.status, "session_id");
    input.version = textMember(input.status, "version");
    if (const JSON* limits = JSONCoerce::member(input.status, "rate_limits"); limits && limits->is_object()) {
        // Copied into the record on every refresh: a few hundred bytes from Claude Code, never megabytes.
        if (limits->dump().size() <= maxRateLimitsBytes) input.rateLimits = limits->get<JSONObject>();
    }
    return input;
}

}  // namespace tracker
