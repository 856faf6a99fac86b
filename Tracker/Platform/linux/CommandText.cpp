#include "Platform/linux/CommandText.hpp"

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace tracker::CommandText {

namespace {

// Length of the sequence a lead byte announces; -1 for bytes that cannot
// lead one (continuation bytes, C0, C1, F5 and up).
int sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return -1;
}

bool isPrintableASCII(unsigned char c) {
    return c >= 0x20 && c < 0x7F;
}

// The code point of n bytes that the C library's UTF-8 decoder accepts: no
// overlong forms, no surrogates; values past U+10FFFF from an F4 lead are
// accepted (and are not printable).
bool decode(std::string_view bytes, char32_t* out) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    for (std::size_t k = 1; k < bytes.size(); ++k) {
        if ((b(k) & 0xC0) != 0x80) return false;
    }
    char32_t c = 0;
    switch (bytes.size()) {
        case 2:
            c = ((b(0) & 0x1Fu) << 6) | (b(1) & 0x3Fu);
            break;
        case 3:
            c = ((b(0) & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
            if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return false;
            break;
        case 4:
            c = ((b(0) & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) | (b(3) & 0x3Fu);
            if (c < 0x10000) return false;
            break;
        default:
            return false;
    }
    *out = c;
    return true;
}

// The C library's idea of printable, in a UTF-8 locale as ps uses it. The
// locale is made once and only read afterwards.
bool isPrintable(char32_t c) {
    static const locale_t utf8 = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        if (!made) made = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
        return made;
    }();
    if (c > 0x10FFFF) return false;
    if (utf8) return iswprint_l(static_cast<wint_t>(c), utf8) != 0;
    // Without any UTF-8 locale: everything but the controls and the line and
    // paragraph separators.
    return c >= 0xA0 && c != 0x2028 && c != 0x2029 && (c & 0xFFFE) != 0xFFFE;
}

// Once a byte turns up that cannot start a sequence, ps gives up on UTF-8 for
// the rest of the text: controls become ".", other non-ASCII bytes "?".
void appendGivenUp(std::string& out, std::string_view rest) {
    for (char ch : rest) {
        auto c = static_cast<unsigned char>(ch);
        if (isPrintableASCII(c)) {
            out += ch;
        } else {
            out += c < 0x80 ? '.' : '?';
        }
    }
}

}  // namespace

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        auto lead = static_cast<unsigned char>(text[at]);
        int length = sequenceLength(lead);
        if (length < 0 || at + static_cast<std::size_t>(length) > text.size()) {
            appendGivenUp(out, text.substr(at));
            break;
        }
        if (length == 1) {
            out += isPrintableASCII(lead) ? text[at] : '?';
            ++at;
            continue;
        }
        std::string_view unit = text.substr(at, static_cast<std::size_t>(length));
        char32_t c = 0;
        if (decode(unit, &c)) {
            // A valid character is kept whole or replaced by one "?".
            if (isPrintable(c)) {
                out += unit;
            } else {
                out += '?';
            }
        } else {
            // A broken sequence: each of its bytes but printable ASCII.
            for (char ch : unit) out += isPrintableASCII(static_cast<unsigned char>(ch)) ? ch : '?';
        }
        at += static_cast<std::size_t>(length);
    }
    return out;
}

std::string fromCmdline(std::string_view cmdline, std::string_view comm, bool zombie) {
    if (cmdline.empty()) {
        std::string shown(1, '[');
        shown += escaped(comm);
        shown += ']';
        if (zombie) shown += " <defunct>";
        return shown;
    }
    if (cmdline.size() >= cmdlineLimit) cmdline = cmdline.substr(0, cmdlineLimit - 1);
    // Only NULs (a process that wiped its arguments) leave nothing to show.
    std::size_t used = cmdline.size();
    while (used > 0 && cmdline[used - 1] == '\0') --used;
    if (used == 0) return "?";
    std::string joined(cmdline.substr(0, used));
    for (char& c : joined) {
        if (c == '\0' || c == '\n') c = ' ';
    }
    return escaped(joined);
}

}  // namespace tracker::CommandText
