#include "Daemon/HoldDocuments.hpp"

#include <cerrno>
#include <cstring>

#include "Core/NumberText.hpp"

namespace tracker {

HoldDocuments::HoldDocuments(const StateDir& stateDir, std::shared_ptr<DaemonLogger> log, bool dryRun,
                             JSONFile::RefusalHook oversize)
    : stateDir_(stateDir), log_(std::move(log)), dryRun_(dryRun), oversize_(std::move(oversize)) {}

std::optional<Pause> HoldDocuments::ledger() {
    if (held_) return held_;
    // held.json as a thaw left it when it could not be removed: its sessions run again already.
    if (staleLedger_) {
        if (!stateDir_.deleteHeld()) return std::nullopt;
        staleLedger_ = false;
    }
    // Only this daemon writes held.json (it holds the state directory's lock): once it is known to be
    // empty, memory says the rest.
    if (noLedger_) return std::nullopt;
    auto held = stateDir_.readHeld(oversize_);
    if (!held) noLedger_ = true;
    return held;
}

std::optional<Pause> HoldDocuments::pause() {
    auto pause = stateDir_.readPause(oversize_);
    if (thawedPause_) {
        if (!pause || JSON(pause->toJSON()).dump() != *thawedPause_) {
            thawedPause_.reset();
        } else {
            if (stateDir_.deletePause() || errno == ENOENT) {
                thawedPause_.reset();
                log_->info("[tick] removed the pause.json of the last thaw");
            }
            return std::nullopt;
        }
    }
    if (pause) return pause;
    auto held = ledger();
    if (!held || held->targets.empty()) return std::nullopt;
    // Sessions are held and nothing says until when: the ledger does, and pause.json is written anew so that
    // every reader (tarnel status, a later daemon) sees the pause that stands.
    if (!restoredWarned_) {
        restoredWarned_ = true;
        log_->warning([&] {
            return "[tick] pause.json is gone or unreadable while " + std::to_string(held->targets.size()) +
                   " session(s) are held - the pause stands until " + NumberText::clockText(held->resumeAt) +
                   " (from " + stateDir_.heldPath() + ")";
        });
    }
    held_ = held;
    if (!dryRun_) {
        try {
            stateDir_.write(*held);
        } catch (const std::exception& error) {
            std::string description = error.what();
            log_->error([&] { return "[tick] could not write pause.json back: " + description; });
        }
    }
    return held;
}

std::optional<LastThaw> HoldDocuments::lastThaw() const {
    auto lastThaw = stateDir_.readLastThaw(oversize_);
    if (unwrittenLastThaw_ && (!lastThaw || lastThaw->thawedAt < unwrittenLastThaw_->thawedAt)) {
        return unwrittenLastThaw_;
    }
    return lastThaw;
}

void HoldDocuments::begin(const Pause& pause) {
    stateDir_.write(pause);
    stateDir_.writeHeld(pause);
    held_ = pause;
    staleLedger_ = false;
    restoredWarned_ = false;
}

bool HoldDocuments::change(const Pause& pause, const std::string& why) {
    try {
        stateDir_.write(pause);
        stateDir_.writeHeld(pause);
        held_ = pause;
        return true;
    } catch (const std::exception& error) {
        std::string description = error.what();
        log_->error(
            [&] { return "[" + why + "] could not write pause.json (" + description + ") - it stands as it was"; });
        return false;
    }
}

void HoldDocuments::end(double at, const std::optional<Pause>& asEnded) {
    auto pause = stateDir_.readPause();
    const std::optional<Pause> ended = asEnded ? asEnded : pause ? pause : held_;
    // What the usage's parts of the pause held for is not held for again: the five-hour window up to the end of
    // its part, the seven-day window and the spend limit (and any window whose hold was ended early) to their
    // reset. A pause that was asked for alone held for no window, and its end must not keep the usage from
    // holding.
    const bool usageThaw = !ended || !ended->usage.empty();
    LastThaw thawed{at, 0};
    if (auto before = lastThaw()) {
        for (const auto& [window, resets] : before->done) {
            if (resets > at) thawed.done[window] = resets;
        }
    }
    if (ended) {
        for (const auto& [window, hold] : ended->usage) {
            if (window == UsageWindow::fiveHour) thawed.previousResumeAt = hold.until;
            if ((window != UsageWindow::fiveHour || hold.released) && hold.resetsAt > 0) {
                thawed.done[window] = hold.resetsAt;
            }
        }
    }
    if (stateDir_.deletePause() || errno == ENOENT) {
        thawedPause_.reset();
    } else {
        // The sessions run again; the pause must not be thawed anew on every tick.
        int error = errno;
        if (pause) thawedPause_ = JSON(pause->toJSON()).dump();
        log_->error([&] {
            return std::string("[doThaw] could not remove pause.json: ") + std::strerror(error) +
                   " - its sessions are continued; it is ignored until it can be removed";
        });
    }
    held_.reset();
    noLedger_ = true;
    if (!stateDir_.deleteHeld()) {
        int error = errno;
        staleLedger_ = true;
        log_->error([&] {
            return std::string("[doThaw] could not remove held.json: ") + std::strerror(error) +
                   " - it is ignored until it can be removed";
        });
    }
    if (!usageThaw) return;
    try {
        stateDir_.write(thawed);
        unwrittenLastThaw_.reset();
    } catch (const std::exception& error) {
        unwrittenLastThaw_ = thawed;
        std::string description = error.what();
        log_->error([&] {
            return "[doThaw] could not write last_thaw.json: " + description + " - the thaw is kept in memory";
        });
    }
}

void HoldDocuments::forgetLedger() {
    held_.reset();
    noLedger_ = stateDir_.deleteHeld();
}

}  // namespace tracker
