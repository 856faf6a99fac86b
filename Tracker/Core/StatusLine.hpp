#pragma once

#include <optional>
#include <string>

#include "Core/JSONFile.hpp"
#include "Core/Records.hpp"

namespace tracker {

// The tee's own status line when the user has no display command.
namespace StatusLine {

// "⏳ 5h 42% · 1h5m", or "⏳ 5h 42%" when the reset time is not ahead. None
// without a used percentage, and none for figures that are not finite or do
// not fit 64 bits once rounded: no line is better than a wrong one.
std::optional<std::string> minimal(const Record& record, double now);
std::optional<std::string> minimal(const JSONObject& rateLimits, double now);

// "59m", "1h0m", "1h5m": whole minutes, hours when an hour or more.
std::string remaining(double seconds);
// "42s" under a minute, else as remaining.
std::string span(double seconds);

}  // namespace StatusLine

}  // namespace tracker
