#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tracker::UTF8 {

// The bytes as valid UTF-8: every ill-formed sequence (each maximal subpart,
// the way the Unicode standard recommends) becomes U+FFFD.
std::string repaired(std::string_view bytes);

// The length of the well-formed sequence at bytes[at] (1 for ASCII; RFC 3629: no overlong form, no
// surrogate, nothing past U+10FFFF), 0 when the bytes there start none.
std::size_t sequenceLength(std::string_view bytes, std::size_t at);

// True for tab and the Unicode space separators (category Zs); line breaks
// are not horizontal.
bool isHorizontalSpace(char32_t codePoint);

// The text without horizontal whitespace at either end. Bytes that are not
// valid UTF-8 are never trimmed.
std::string_view trimmed(std::string_view text);

// The text with every control character (C0, DEL and C1; line breaks too) written as an escape ("\n", "\t",
// "\x1b", "\u0085"), so that no value shown can end a line, start another or move the cursor.
std::string controlsEscaped(std::string_view text);

// The first n characters (code points, never half of one) of a UTF-8 text.
std::string_view firstCharacters(std::string_view text, std::size_t n);

}  // namespace tracker::UTF8
