#include "Core/JSONLayout.hpp"

#include <nlohmann/json.hpp>

namespace tracker::JSONLayout {

namespace {

using Ordered = nlohmann::ordered_json;

// value with its objects' members in the order of the same objects in original (when given).
Ordered ordered(const JSON& value, const Ordered* original) {
    switch (value.type()) {
        case JSON::value_t::object: {
            Ordered result = Ordered::object();
            if (original && original->is_object()) {
                for (const auto& [key, was] : original->items()) {
                    auto it = value.find(key);
                    if (it != value.end()) result[key] = ordered(*it, &was);
                }
            }
            for (const auto& [key, member] : value.items()) {
                if (!result.contains(key)) result[key] = ordered(member, nullptr);
            }
            return result;
        }
        case JSON::value_t::array: {
            Ordered result = Ordered::array();
            const bool matched = original && original->is_array();
            for (std::size_t i = 0; i < value.size(); ++i) {
                result.push_back(ordered(value[i], matched && i < original->size() ? &(*original)[i] : nullptr));
            }
            return result;
        }
        case JSON::value_t::string:
            return value.get_ref<const std::string&>();
        case JSON::value_t::boolean:
            return value.get<bool>();
        case JSON::value_t::number_integer:
            return value.get<std::int64_t>();
        case JSON::value_t::number_unsigned:
            return value.get<std::uint64_t>();
        case JSON::value_t::number_float:
            return value.get<double>();
        default:
            return nullptr;
    }
}

}  // namespace

Style of(std::string_view text) {
    Style style;
    const auto last = text.find_last_not_of(" \t\r\n");
    const std::string_view tail = last == std::string_view::npos ? text : text.substr(last + 1);
    style.finalNewline = tail.find('\n') != std::string_view::npos;
    style.crlf = text.find("\r\n") != std::string_view::npos;
    const std::string_view body = text.substr(0, last == std::string_view::npos ? 0 : last + 1);
    if (body.find('\n') == std::string_view::npos) {
        style.indent = std::nullopt;
        return style;
    }
    // The first line that starts with white space and has more after it: one level in.
    for (std::size_t at = body.find('\n'); at != std::string_view::npos; at = body.find('\n', at + 1)) {
        const std::size_t start = at + 1;
        const std::size_t end = body.find_first_not_of(" \t", start);
        if (end == std::string_view::npos || end == start || body[end] == '\r' || body[end] == '\n') continue;
        const std::string_view run = body.substr(start, end - start);
        if (run.find_first_not_of(run[0]) == std::string_view::npos) style.indent = std::string(run);
        break;
    }
    return style;
}

std::string serializedLike(const JSON& value, std::string_view original) {
    std::string plain = JSONFile::serialize(value);
    if (original.find_first_not_of(" \t\r\n") == std::string_view::npos ||
        JSONFile::nestingDepth(original, JSONFile::maxDepth) > JSONFile::maxDepth) {
        return plain;
    }
    const Ordered was = Ordered::parse(original.begin(), original.end(), nullptr, /*allow_exceptions=*/false);
    if (was.is_discarded()) return plain;
    const Style style = of(original);
    const Ordered laidOut = ordered(value, &was);
    std::string text;
    try {
        text = style.indent ? laidOut.dump(static_cast<int>(style.indent->size()), (*style.indent)[0], false,
                                           Ordered::error_handler_t::strict)
                            : laidOut.dump(-1, ' ', false, Ordered::error_handler_t::strict);
    } catch (const Ordered::type_error&) {
        throw JSONFileError::notSerializable();
    }
    if (style.finalNewline) text.push_back('\n');
    if (!style.crlf) return text;
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') crlf.push_back('\r');
        crlf.push_back(c);
    }
    return crlf;
}

}  // namespace tracker::JSONLayout
