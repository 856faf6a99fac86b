#include "Core/UTF8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tracker::UTF8 {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence that starts with lead and the range its
// second byte must fall in; length 0 for a byte that cannot start one.
struct LeadInfo {
    int length;
    unsigned char low;
    unsigned char high;
};

LeadInfo leadInfo(unsigned char lead) {
    if (lead < 0x80) return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// Length of the valid sequence at bytes[at], or 0 with *subpart set to the
// number of bytes that form the maximal ill-formed subpart there.
std::size_t validLength(std::string_view bytes, std::size_t at, std::size_t* subpart) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    LeadInfo info = leadInfo(lead);
    if (info.length == 1) return 1;
    *subpart = 1;
    if (info.length == 0) return 0;
    for (int k = 1; k < info.length; ++k) {
        if (at + k >= bytes.size()) return 0;
        auto byte = static_cast<unsigned char>(bytes[at + k]);
        unsigned char low = k == 1 ? info.low : 0x80;
        unsigned char high = k == 1 ? info.high : 0xBF;
        if (byte < low || byte > high) return 0;
        *subpart = static_cast<std::size_t>(k) + 1;
    }
    return static_cast<std::size_t>(info.length);
}

// Decodes the valid sequence of length n at bytes[at].
char32_t decodeAt(std::string_view bytes, std::size_t at, std::size_t n) {
    auto byte = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(bytes[at + k])); };
    switch (n) {
        case 1:
            return byte(0);
        case 2:
            return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
        case 3:
            return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
        default:
            return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
    }
}

// Start of the code point that ends just before end, or end when the bytes
// there are not a valid sequence.
std::size_t previousStart(std::string_view text, std::size_t end) {
    for (std::size_t back = 1; back <= 4 && back <= end; ++back) {
        std::size_t start = end - back;
        std::size_t subpart = 0;
        if (validLength(text, start, &subpart) == back) return start;
    }
    return end;
}

}  // namespace

std::size_t sequenceLength(std::string_view bytes, std::size_t at) {
    std::size_t subpart = 0;
    return validLength(bytes, at, &subpart);
}

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t subpart = 0;
        std::size_t n = validLength(bytes, at, &subpart);
        if (n > 0) {
            out.append(bytes.substr(at, n));
            at += n;
        } else {
            out.append(replacement);
            at += subpart;
        }
    }
    return out;
}

bool isHorizontalSpace(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t subpart = 0;
        std::size_t n = validLength(text, begin, &subpart);
        if (n == 0 || !isHorizontalSpace(decodeAt(text, begin, n))) break;
        begin += n;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = previousStart(text, end);
        if (start == end || start < begin || !isHorizontalSpace(decodeAt(text, start, end - start))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::string_view firstCharacters(std::string_view text, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        if (startsCharacter && count++ == n) return text.substr(0, i);
    }
    return text;
}

std::string controlsEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // C1 controls (U+0080 to U+009F) are two bytes in UTF-8, the first 0xC2.
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte >= 0x20 && byte != 0x7F && !c1) {
            out += static_cast<char>(byte);
            continue;
        }
        switch (byte) {
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        char code[8];
        unsigned value = c1 ? static_cast<unsigned char>(text[++i]) : byte;
        std::snprintf(code, sizeof code, c1 ? "\\u%04x" : "\\x%02x", value);
        out += code;
    }
    return out;
}

}  // namespace tracker::UTF8
