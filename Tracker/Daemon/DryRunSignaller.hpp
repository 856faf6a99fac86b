#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/Signaller.hpp"

namespace tracker {

// Records what it is asked to do and does nothing; every call reports success.
class DryRunSignaller : public Signaller {
public:
    // Hashable through the standard library's std::hash for enumerations.
    enum class Kind { stop, cont };
    struct Call {
        Kind kind = Kind::stop;
        std::int64_t pid = 0;
        bool operator==(const Call&) const = default;
    };

    // "stop" or "cont".
    static const char* kindText(Kind kind);
    // Exactly "stop" or "cont"; any other text gives none.
    static std::optional<Kind> kindFromText(const std::string& text);

    std::vector<Call> calls;

    bool stop(std::int64_t pid) override;
    bool cont(std::int64_t pid) override;
    void reset() { calls.clear(); }
};

}  // namespace tracker
