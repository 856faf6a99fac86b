#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "Core/JSONFile.hpp"

// A few members of a large JSON object without building the rest. The status document and a hook's input
// run to kilobytes (a tool's whole output), and a run of the tee needs three or four of their members: the
// scan checks the whole text the way the parser would and parses only the values asked for.
namespace tracker::JSONScan {

// The members of the top-level object named in keys, each parsed as JSONFile::parse parses it, the last of
// a key given twice; nothing else of the object is built. None when the bytes are not one JSON object, or
// use what only the full parser decides (a byte order mark, nesting deeper than JSONFile::maxDepth, a number
// that may not fit a double, an escaped surrogate that is not one of a pair): a caller then parses the whole.
// Whenever it gives an object, that object equals the whole document parsed with every other member left out.
std::optional<JSONObject> pick(std::string_view bytes, std::initializer_list<std::string_view> keys);

// The text a JSON string (quotes included) stands for, escapes decoded; none when it is not a well-formed
// string the scan accepts.
std::optional<std::string> text(std::string_view literal);

}  // namespace tracker::JSONScan
