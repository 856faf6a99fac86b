#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/JSONFile.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/Records.hpp"
#include "Core/StateDir.hpp"
#include "Front/StatusReport.hpp"
#include "Platform/ProcessContext.hpp"

namespace tracker::Front {

// Whether the set-up holds every live Claude Code session on the machine, and if not, why and what to do:
// gathered once from the process table, the state directory, the settings and config.json. Changes nothing.
struct DoctorReport {
    // One finding: what was seen and, where something is wrong or could be better (a note: ok with a fix),
    // the fix.
    struct Finding {
        std::string what;
        std::string fix;
        bool ok = true;
    };
    enum class Outcome {
        // A hold would hold it.
        held,
        // Marked exempt: never held, by choice.
        exempt,
        // Its record has no five-hour figures (an API-key login): there is no window to hold it for.
        noWindow,
        // A hold would not be made, or would not hold.
        notHeld,
    };
    struct Session {
        std::int64_t pid = 0;
        std::string tty;
        Shape shape = Shape::unknown;
        std::optional<std::int64_t> shellPID;
        // "tmux" or "screen" when one is among its ancestors.
        std::string multiplexer;
        std::optional<Record> record;
        ProcessContext::HoldOutlook outlook;
        Outcome outcome = Outcome::notHeld;
        std::vector<Finding> findings;
    };
    // What the command looks at, replaceable so a test can make up a machine.
    struct Inputs {
        StateDir stateDir{std::string("/")};
        std::string settingsPath;
        double now = 0;
        ProcessTable table;
        std::function<ProcessContext::HoldOutlook(std::int64_t)> outlook;
        std::function<std::optional<std::string>(std::int64_t, const std::string&)> environment;
        std::function<std::optional<std::string>(std::int64_t)> serviceUnit;
        // The daemon's state as `tarnel status` sees it; gathered from stateDir when none.
        std::optional<StatusReport> status;
        // This user's id; sessions of other users are not this user's to hold, and are judged only when
        // allUsers asks for them.
        std::int64_t uid = -1;
        bool allUsers = false;
    };
    // The real machine: the whole process table and the platform's answers.
    static Inputs systemInputs(const StateDir& stateDir, const std::string& settingsPath, double now);
    static DoctorReport gather(const Inputs& inputs);

    std::string stateDir;
    std::string settingsPath;
    double now = 0;
    // The set-up: daemon, status line, config.json.
    std::vector<Finding> setup;
    std::vector<Session> sessions;

    // Every session that should be held would be, and the set-up is sound.
    bool allHeld() const;
    // 0 when allHeld, else 1.
    int exitStatus() const { return allHeld() ? 0 : 1; }
    JSON toJSON() const;
    std::string toText() const;
};

const char* outcomeText(DoctorReport::Outcome outcome);

}  // namespace tracker::Front
