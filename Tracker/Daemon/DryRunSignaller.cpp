#include "Daemon/DryRunSignaller.hpp"

namespace tracker {

const char* DryRunSignaller::kindText(Kind kind) {
    return kind == Kind::stop ? "stop" : "cont";
}

std::optional<DryRunSignaller::Kind> DryRunSignaller::kindFromText(const std::string& text) {
    if (text == "stop") return Kind::stop;
    if (text == "cont") return Kind::cont;
    return std::nullopt;
}

bool DryRunSignaller::stop(std::int64_t pid) {
    calls.push_back({Kind::stop, pid});
    return true;
}

bool DryRunSignaller::cont(std::int64_t pid) {
    calls.push_back({Kind::cont, pid});
    return true;
}

}  // namespace tracker
