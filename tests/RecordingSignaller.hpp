#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "Core/Proc.hpp"
#include "Core/Signaller.hpp"
#include "Core/StateDir.hpp"
#include "TestSupport.hpp"

namespace tracker::test {

// Records every call, and whether pause.json existed when a stop came. Given the rows of a made-up process
// table, it stops and continues them as the kernel would.
class RecordingSignaller : public Signaller {
public:
    explicit RecordingSignaller(const StateDir* state = nullptr, std::vector<Proc>* rows = nullptr)
        : state_(state), rows_(rows) {}
    struct Call {
        std::string kind;
        std::int64_t pid;
        bool pausePresent;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    std::set<std::int64_t> refuse;
    std::set<std::int64_t> held;

    bool stop(std::int64_t pid) override { return record("stop", pid); }
    bool cont(std::int64_t pid) override { return record("cont", pid); }
    bool isHeld(std::int64_t pid) override { return held.count(pid) > 0; }
    std::vector<std::int64_t> heldPIDs() override { return {held.begin(), held.end()}; }
    int releaseAll() override {
        calls.push_back({"releaseAll", 0, false});
        return 0;
    }
    std::vector<std::int64_t> pids(const std::string& kind) const {
        std::vector<std::int64_t> out;
        for (const auto& call : calls) {
            if (call.kind == kind) out.push_back(call.pid);
        }
        return out;
    }

private:
    bool record(const char* kind, std::int64_t pid) {
        calls.push_back({kind, pid, state_ && fileExists(state_->pausePath())});
        if (refuse.count(pid)) return false;
        if (std::string(kind) == "cont") held.erase(pid);
        for (Proc& row : rows_ ? *rows_ : none_) {
            if (row.pid == pid) row.state = std::string(kind) == "stop" ? RunState::stopped : RunState::sleeping;
        }
        return true;
    }
    const StateDir* state_;
    std::vector<Proc>* rows_;
    std::vector<Proc> none_;
};

}  // namespace tracker::test
