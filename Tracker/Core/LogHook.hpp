#pragma once

#include <functional>
#include <string>

namespace tracker {

// The optional log hook of code that knows nothing of the daemon's logger: one message per call, beginning
// with its level word ("debug ", "warning ", "error ", ...). The daemon passes its logger's sink; empty
// means no messages.
using LogHook = std::function<void(const std::string&)>;

// Hands message to log when there is one.
inline void emit(const LogHook& log, const std::string& message) {
    if (log) log(message);
}

}  // namespace tracker
