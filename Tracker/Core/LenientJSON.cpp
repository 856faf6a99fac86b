#include "Core/LenientJSON.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Core/UTF8.hpp"

namespace tracker::LenientJSON {

namespace {

constexpr std::string_view numberBytes = "+-0123456789.eE";

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The code unit of the "\uXXXX" escape at text[at], none when there is none.
std::optional<unsigned> escapedUnit(std::string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        if (!isHex(text[i])) return std::nullopt;
    }
    return static_cast<unsigned>(std::strtoul(std::string(text.substr(at + 2, 4)).c_str(), nullptr, 16));
}

bool isHigh(unsigned unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLow(unsigned unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Whether a number token reads as a double out of range (an infinity).
bool overflows(std::string_view token) {
    std::string text(token);
    return std::isinf(std::strtod(text.c_str(), nullptr));
}

}  // namespace

std::string mended(std::string_view bytes) {
    const std::string text = UTF8::repaired(bytes);
    std::string out;
    out.reserve(text.size());
    bool inText = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (!inText) {
            if (c == '"') {
                inText = true;
                out += c;
                ++i;
            } else if (c == '-' || (c >= '0' && c <= '9')) {
                std::size_t end = text.find_first_not_of(numberBytes, i);
                if (end == std::string::npos) end = text.size();
                std::string_view token(text.data() + i, end - i);
                out += overflows(token) ? std::string_view("null") : token;
                i = end;
            } else {
                out += c;
                ++i;
            }
            continue;
        }
        if (c == '"') {
            inText = false;
            out += c;
            ++i;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
            ++i;
        } else if (c != '\\') {
            out += c;
            ++i;
        } else if (auto unit = escapedUnit(text, i)) {
            auto next = escapedUnit(text, i + 6);
            if (isHigh(*unit) && next && isLow(*next)) {
                out.append(text, i, 12);
                i += 12;
            } else {
                out +=
                    (isHigh(*unit) || isLow(*unit)) ? std::string_view("\\ufffd") : std::string_view(text).substr(i, 6);
                i += 6;
            }
        } else {
            // Any other escape is two bytes; a broken one stays for the parser to refuse.
            out.append(text, i, std::min<std::size_t>(2, text.size() - i));
            i += 2;
        }
    }
    return out;
}

std::optional<JSON> parse(std::string_view bytes) {
    if (auto value = JSONFile::parse(bytes)) return value;
    return JSONFile::parse(mended(bytes));
}

}  // namespace tracker::LenientJSON
