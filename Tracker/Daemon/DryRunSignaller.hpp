#pragma once

#include <cstdint>
#include <vector>

#include "Core/Signaller.hpp"

namespace tracker {

// Records what it is asked to do and does nothing; every call reports success.
class DryRunSignaller : public Signaller {
public:
    enum class Kind { stop, cont };
    struct Call {
        Kind kind = Kind::stop;
        std::int64_t pid = 0;
        bool operator==(const Call&) const = default;
    };

    std::vector<Call> calls;

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;
};

}  // namespace tracker
