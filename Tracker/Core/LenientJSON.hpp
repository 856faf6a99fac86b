#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Core/JSONFile.hpp"

// Reading JSON that another program wrote nearly right. One flaw anywhere in
// a document must not throw away everything else it says.
namespace tracker::LenientJSON {

// The bytes with the flaws that stop a JSON parser mended, and nothing else
// changed: each ill-formed UTF-8 sequence becomes U+FFFD, an escaped lone
// surrogate (\ud800 without its partner) \ufffd, a raw control character in
// a text its \u escape, and a number too large for a double null.
std::string mended(std::string_view bytes);

// Parses bytes as JSONFile::parse does; when that fails, parses mended(bytes).
std::optional<JSON> parse(std::string_view bytes);

}  // namespace tracker::LenientJSON
