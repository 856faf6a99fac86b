#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Core/JSONFile.hpp"

// Writing a document back in the layout of the file it came from: the order of each object's members, the
// indentation and the line ends, so that a change to a file a person keeps (in git, say) shows as the change
// alone.
namespace tracker::JSONLayout {

// How a JSON text is laid out.
struct Style {
    // What one level of nesting adds at the start of a line ("  ", "    ", "\t"); none: all on one line.
    std::optional<std::string> indent = std::string("  ");
    bool finalNewline = true;
    bool crlf = false;
    bool operator==(const Style&) const = default;
};

// The layout of a JSON text: the indentation of the first indented line (two spaces where it cannot be
// told: no member on a line of its own, or spaces and tabs mixed), its last line end and its kind of line end.
Style of(std::string_view text);

// value as JSON text in the layout of original: each object's members in the order the object at the same
// place in original has them, the members it lacks after them (sorted), array elements matched by position;
// indented and ended as original is. Where original is empty or not JSON, as JSONFile::serialize writes.
// Throws JSONFileError::notSerializable as serialize does.
std::string serializedLike(const JSON& value, std::string_view original);

}  // namespace tracker::JSONLayout
