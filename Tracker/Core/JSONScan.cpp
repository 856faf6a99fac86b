#include "Core/JSONScan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Core/UTF8.hpp"

namespace tracker::JSONScan {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of the four hex digits at text[at], none when they are not four hex digits.
std::optional<unsigned> hex4(std::string_view text, std::size_t at) {
    if (at + 4 > text.size()) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
        const char c = text[i];
        unsigned digit = 0;
        if (isDigit(c)) {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

void appendUTF8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Whether any of the eight bytes in word is below 0x20, at or above 0x80, a quote or a backslash: whether a
// run of plain characters in a string stops among them.
bool stopsRun(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    // A byte of v is zero exactly when v - ones borrows into that byte's high bit where v had none.
    const auto anyZero = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
    const std::uint64_t below = (word - ones * 0x20) & ~word & highs;
    return (below | (word & highs) | anyZero(word ^ (ones * '"')) | anyZero(word ^ (ones * '\\'))) != 0;
}

// Where the run of plain characters (printable ASCII but the quote and the backslash) from text[at] ends:
// eight bytes at a time while none of them stops it, then byte by byte. A tool's output in a hook's input
// is mostly such runs.
std::size_t plainRunEnd(std::string_view text, std::size_t at) {
    while (at + 8 <= text.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + at, 8);
        if (stopsRun(word)) break;
        at += 8;
    }
    while (at < text.size()) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        ++at;
    }
    return at;
}

// Moves at past the JSON string that starts there (at its opening quote), appending what it stands for to
// out when out is given; false when the string is not well formed.
bool scanString(std::string_view text, std::size_t& at, std::string* out) {
    ++at;
    while (at < text.size()) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c == '"') {
            ++at;
            return true;
        }
        if (c < 0x20) return false;
        if (c >= 0x80) {
            const std::size_t length = UTF8::sequenceLength(text, at);
            if (length == 0) return false;
            if (out) out->append(text, at, length);
            at += length;
            continue;
        }
        if (c != '\\') {
            const std::size_t end = plainRunEnd(text, at + 1);
            if (out) out->append(text, at, end - at);
            at = end;
            continue;
        }
        if (at + 1 >= text.size()) return false;
        const char escape = text[at + 1];
        if (escape == 'u') {
            auto unit = hex4(text, at + 2);
            if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return false;
            at += 6;
            unsigned codePoint = *unit;
            if (*unit >= 0xD800 && *unit <= 0xDBFF) {
                if (at + 1 >= text.size() || text[at] != '\\' || text[at + 1] != 'u') return false;
                auto second = hex4(text, at + 2);
                if (!second || *second < 0xDC00 || *second > 0xDFFF) return false;
                at += 6;
                codePoint = 0x10000 + ((*unit - 0xD800) << 10) + (*second - 0xDC00);
            }
            if (out) appendUTF8(*out, codePoint);
            continue;
        }
        static constexpr std::string_view escapes = "\"\\/bfnrt";
        static constexpr std::string_view decoded = "\"\\/\b\f\n\r\t";
        const std::size_t which = escapes.find(escape);
        if (which == std::string_view::npos) return false;
        if (out) *out += decoded[which];
        at += 2;
    }
    return false;
}

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool atEnd() const { return at_ >= text_.size(); }
    char peek() const { return text_[at_]; }

    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++at_;
    }

    bool take(char c) {
        if (atEnd() || peek() != c) return false;
        ++at_;
        return true;
    }

    bool string() { return !atEnd() && peek() == '"' && scanString(text_, at_, nullptr); }

    // One value, whose arrays and objects open at depth + 1 and deeper.
    bool value(std::size_t depth) {
        if (atEnd()) return false;
        switch (peek()) {
            case '{':
            case '[':
                return container(depth + 1, [](std::string_view, std::string_view) {});
            case '"':
                return string();
            case 't':
                return word("true");
            case 'f':
                return word("false");
            case 'n':
                return word("null");
            default:
                return number();
        }
    }

    // An array or object opening at depth; visit(key, value) is told each member of an object, its key as
    // written (quotes included) and its value's text.
    template <typename Visit>
    bool container(std::size_t depth, const Visit& visit) {
        if (depth > JSONFile::maxDepth) return false;
        const bool object = peek() == '{';
        const char close = object ? '}' : ']';
        ++at_;
        skipSpace();
        if (take(close)) return true;
        while (true) {
            std::string_view key;
            if (object) {
                const std::size_t keyStart = at_;
                if (!string()) return false;
                key = text_.substr(keyStart, at_ - keyStart);
                skipSpace();
                if (!take(':')) return false;
                skipSpace();
            }
            const std::size_t valueStart = at_;
            if (!value(depth)) return false;
            if (object) visit(key, text_.substr(valueStart, at_ - valueStart));
            skipSpace();
            if (take(close)) return true;
            if (!take(',')) return false;
            skipSpace();
        }
    }

private:
    bool word(std::string_view literal) {
        if (text_.substr(at_, literal.size()) != literal) return false;
        at_ += literal.size();
        return true;
    }

    bool digits() {
        const std::size_t start = at_;
        while (!atEnd() && isDigit(peek())) ++at_;
        return at_ > start;
    }

    // A number, only when it is sure to fit a double: the parser refuses one that does not.
    bool number() {
        take('-');
        if (atEnd()) return false;
        std::size_t integerDigits = 0;
        if (!take('0')) {
            const std::size_t start = at_;
            if (!digits()) return false;
            integerDigits = at_ - start;
        }
        if (take('.') && !digits()) return false;
        long exponent = 0;
        if (take('e') || take('E')) {
            const bool negative = take('-');
            if (!negative) take('+');
            const std::size_t start = at_;
            if (!digits()) return false;
            // More digits than any double's exponent needs is left to the parser.
            if (at_ - start > 4) return false;
            for (std::size_t i = start; i < at_; ++i) exponent = exponent * 10 + (text_[i] - '0');
            if (negative) exponent = -exponent;
        }
        // Below 10^(digits + exponent), so below a double's largest (about 1.8e308) while that is at most 308.
        return static_cast<long>(integerDigits) + exponent <= 308;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<JSONObject> pick(std::string_view bytes, std::initializer_list<std::string_view> keys) {
    Scanner scan(bytes);
    scan.skipSpace();
    if (scan.atEnd() || scan.peek() != '{') return std::nullopt;
    // Where each key's last value stands.
    std::vector<std::string_view> found(keys.size());
    const auto note = [&](std::string_view literal, std::string_view value) {
        // The scan has checked the key's string; only one with an escape needs decoding.
        std::string decoded;
        std::string_view key = literal.substr(1, literal.size() - 2);
        if (key.find('\\') != std::string_view::npos) {
            decoded = JSONScan::text(literal).value_or("");
            key = decoded;
        }
        const auto wanted = std::find(keys.begin(), keys.end(), key);
        if (wanted != keys.end()) found[static_cast<std::size_t>(wanted - keys.begin())] = value;
    };
    if (!scan.container(1, note)) return std::nullopt;
    scan.skipSpace();
    if (!scan.atEnd()) return std::nullopt;

    JSONObject picked;
    std::size_t index = 0;
    for (std::string_view key : keys) {
        const std::string_view value = found[index++];
        if (value.empty()) continue;
        // A text is decoded here; anything else is parsed, small as it is.
        if (value[0] == '"') {
            auto decoded = JSONScan::text(value);
            if (!decoded) return std::nullopt;
            picked[std::string(key)] = std::move(*decoded);
            continue;
        }
        auto parsed = JSONFile::parse(value);
        if (!parsed) return std::nullopt;
        picked[std::string(key)] = std::move(*parsed);
    }
    return picked;
}

std::optional<std::string> text(std::string_view literal) {
    if (literal.empty() || literal[0] != '"') return std::nullopt;
    std::string out;
    std::size_t at = 0;
    if (!scanString(literal, at, &out) || at != literal.size()) return std::nullopt;
    return out;
}

}  // namespace tracker::JSONScan
