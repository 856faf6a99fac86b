#include "Daemon/DryRunSignaller.hpp"

namespace tracker {

bool DryRunSignaller::stop(std::int64_t pid) {
    calls.push_back({Kind::stop, pid});
    return true;
}

bool DryRunSignaller::cont(std::int64_t pid) {
    calls.push_back({Kind::cont, pid});
    return true;
}

}  // namespace tracker
