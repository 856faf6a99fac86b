#include "Tee/HookRecorder.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>

#include "Core/CommandLine.hpp"
#include "Core/FileRead.hpp"
#include "Core/HookSettings.hpp"
#include "Core/ProcessAncestry.hpp"
#include "Core/ProcessTable.hpp"
#include "Core/StateDirTrust.hpp"
#include "Core/StatusInput.hpp"

namespace tracker::HookRecorder {
namespace {

// A hook document is a few kilobytes plus the tool calls and what they returned, which Claude Code cuts
// short long before this; what a broken or hostile writer sends past it is not read (and not recorded).
constexpr std::size_t maxInputBytes = 8 * 1024 * 1024;

double wallClock() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string textMember(const JSONObject& object, const char* name) {
    const JSON* value = JSONCoerce::member(object, name);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// How long a hook waits for the session's lock. Its two writes and its wait for a hold (maxHoldWait) stay within
// the time Claude Code gives a hook before it ends it (HookSettings::timeoutSeconds): a hook is never ended while
// it writes. Only the session's own agents take this lock, for a read and a write each.
constexpr auto lockWait = std::chrono::milliseconds(1500);
static_assert(2 * 1.5 + maxHoldWait < HookSettings::timeoutSeconds);

// Holds the session's own lock while its phase is read, changed and written, so that the hooks of the
// session's agents (a subagent's run beside the main one's) never lose each other's change, and those of other
// sessions never wait for it. A hold of the lock lasts a read and a write; a hook waits lockWait at the most.
class SessionLock {
public:
    explicit SessionLock(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600)) {
        if (fd_ < 0) return;
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return;
        }
        // The wait sleeps in the kernel until the lock is free, and a one-shot timer ends it at lockWait: a
        // burst of agents waits its turn without a poll that would take the cores from the one holding it.
        struct sigaction quiet {};
        struct sigaction before {};
        quiet.sa_handler = [](int) {};
        sigemptyset(&quiet.sa_mask);
        quiet.sa_flags = 0;  // no SA_RESTART: the timer's signal ends the wait with EINTR
        if (::sigaction(SIGALRM, &quiet, &before) != 0) return;
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(lockWait).count();
        struct itimerval timer {};
        timer.it_value.tv_sec = static_cast<time_t>(wait / 1000000);
        timer.it_value.tv_usec = static_cast<suseconds_t>(wait % 1000000);
        if (::setitimer(ITIMER_REAL, &timer, nullptr) == 0) {
            int result;
            while ((result = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR && timerRunning()) {
            }
            held_ = result == 0;
            const struct itimerval off {};
            ::setitimer(ITIMER_REAL, &off, nullptr);
        }
        ::sigaction(SIGALRM, &before, nullptr);
    }
    ~SessionLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;

    bool held() const { return held_; }

private:
    // An EINTR from another signal goes on waiting; the timer's own ends the wait.
    static bool timerRunning() {
        struct itimerval left {};
        return ::getitimer(ITIMER_REAL, &left) == 0 && (left.it_value.tv_sec != 0 || left.it_value.tv_usec != 0);
    }

    int fd_;
    bool held_ = false;
};

struct Recorder {
    const Environment& environment;
    bool debug = false;

    void note(const std::string& message) const {
        if (!debug) return;
        std::string line = "[tarnel-tee --hook] " + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    void record(const StateDir& stateDir, const JSONObject& input) const;
    // Reads the session's phase (a new one when it is another process's), changes it and writes it back.
    SessionPhase store(const StateDir& stateDir, const std::string& sessionID, std::int64_t pid,
                       const std::string& startID, const std::function<void(SessionPhase&)>& change) const;
    void waitForHold(const StateDir& stateDir, const std::string& sessionID) const;
    void registerSession(const StateDir& stateDir, const std::string& sessionID, const ProcessAncestry::Hop& claude,
                         const std::string& startID) const;
};

// How often a session known from its hooks alone has its record renewed, so that it stays fresh while it works.
constexpr double hookRecordRenewal = 60;

// The daemon names a session it is about to hold in the pause's "waiting" until it holds it.
bool holdPending(const StateDir& stateDir, const std::string& sessionID) {
    auto pause = stateDir.readPause();
    return pause && pause->waiting.count(sessionID) > 0;
}

SessionPhase Recorder::store(const StateDir& stateDir, const std::string& sessionID, std::int64_t pid,
                             const std::string& startID, const std::function<void(SessionPhase&)>& change) const {
    // The phase as this event leaves it, and whether that is as it stood. The daemon reads a phase for its
    // process and its agents: when they stand as they stood, the file (and with it the time and event of the
    // last change) stays, and no tick of the daemon is woken for nothing.
    auto apply = [&](bool& unchanged) {
        SessionPhase phase;
        const auto known = stateDir.readPhase(sessionID);
        const bool same = known && known->pid == pid && known->startID == startID;
        if (same) phase = *known;
        phase.sessionID = sessionID;
        phase.pid = pid;
        phase.startID = startID;
        change(phase);
        unchanged = same && phase.agents == known->agents && phase.limitHitAt == known->limitHitAt;
        return phase;
    };
    // An event that changes nothing takes no lock: a phase is replaced whole, so the one read is one that was
    // written, and leaving it is what the event would have done had it had the lock before any other hook.
    bool unchanged = false;
    SessionPhase phase = apply(unchanged);
    if (unchanged) return phase;
    SessionLock lock(stateDir.phaseLockPath(sessionID));
    phase = apply(unchanged);
    if (unchanged) return phase;
    // Without the lock another hook's change may be lost between the read and the write: a phase that says
    // streaming only delays a hold, one that says safe could let it land in the middle of a reply.
    if (!lock.held() && !phase.streaming()) {
        note("the session's lock was not had in time; a safe point is not written over what could not be merged");
        return phase;
    }
    phase.ts = wallClock();
    stateDir.write(phase);
    return phase;
}

void Recorder::record(const StateDir& stateDir, const JSONObject& input) const {
    const std::string sessionID = textMember(input, "session_id");
    const std::string event = textMember(input, "hook_event_name");
    const std::string agent = textMember(input, "agent_id");
    if (!isSafeSessionID(sessionID)) {
        note("no usable session_id; not recording");
        return;
    }
    const SessionPhase::Effect effect = SessionPhase::effectOf(event);
    if (effect == SessionPhase::Effect::none) {
        note("event " + JSON(event).dump() + " tells nothing of streaming; not recording");
        return;
    }
    // The process the hook runs under, found by walking up from here; what the input says is not trusted.
    auto found = ProcessAncestry::findClaude(static_cast<std::int64_t>(::getppid()), maxAncestorHops);
    if (!found) {
        note("no claude ancestor within " + std::to_string(maxAncestorHops) + " hops");
        return;
    }
    const std::int64_t pid = found->claude.pid;
    // A phase names its process by pid and start; nothing else of the process is read.
    const auto startID = ProcessAncestry::startID(pid);
    if (!startID) {
        note("pid " + std::to_string(pid) + " could not be read");
        return;
    }
    stateDir.ensureDirectories();
    if (effect == SessionPhase::Effect::sessionEnded) {
        SessionLock lock(stateDir.phaseLockPath(sessionID));
        stateDir.deletePhase(sessionID);
        note("session ended; phase removed");
        return;
    }

    registerSession(stateDir, sessionID, found->claude, *startID);

    // Right before a request the session is safe only while this hook runs: that is worth telling only when
    // the daemon waits to hold it; otherwise the request that follows makes it streaming.
    const bool beforeRequest = effect == SessionPhase::Effect::beforeRequest;
    const bool pending = beforeRequest && holdPending(stateDir, sessionID);
    // A turn that ended at a usage limit is told to the daemon and to status; it never holds by itself (a 429
    // may be a short burst limit).
    const bool limitHit = event == "StopFailure" && textMember(input, "error") == "rate_limit";
    if (limitHit) note("the turn ended at a usage limit (rate_limit)");
    SessionPhase phase = store(stateDir, sessionID, pid, *startID, [&](SessionPhase& known) {
        known.apply(event, agent);
        if (limitHit) known.limitHitAt = wallClock();
        if (beforeRequest && !pending) known.agents[agent] = SessionPhase::Agent::streaming;
    });
    note(event + " (agent " + (agent.empty() ? std::string("main") : agent) +
         "): " + (phase.streaming() ? "streaming" : "safe"));
    if (!pending) return;
    if (!phase.streaming()) waitForHold(stateDir, sessionID);
    store(stateDir, sessionID, pid, *startID,
          [&](SessionPhase& known) { known.agents[agent] = SessionPhase::Agent::streaming; });
}

// A session that draws no status line of ours (a `claude -p` run, one whose line is another tool's) spends the
// same usage: its hooks register it, with its process and no figure, so that a hold holds it too. A record the
// status line wrote is its own and stays; one the hooks wrote is renewed now and then.
void Recorder::registerSession(const StateDir& stateDir, const std::string& sessionID,
                               const ProcessAncestry::Hop& claude, const std::string& startID) const {
    const std::int64_t pid = claude.pid;
    const std::string path = stateDir.recordPath(sessionID);
    const double now = wallClock();
    // Most hooks find a record written within the last minute (by the status line or by a hook): one look.
    struct stat written {};
    if (::stat(path.c_str(), &written) == 0 &&
        now - (static_cast<double>(written.st_mtim.tv_sec) + written.st_mtim.tv_nsec / 1e9) < hookRecordRenewal) {
        return;
    }
    if (auto document = StateDirTrust::readDocument(path)) {
        auto known = Record::fromJSON(&*document);
        if (known && (!known->fromHooks ||
                      (known->pid == pid && known->startID == startID && now - known->ts < hookRecordRenewal))) {
            return;
        }
    }
    ProcessTable table = ProcessTable::forClaude(claude);
    auto row = table.get(pid);
    if (!row || !row->start.known() || row->start.id != startID) {
        note("pid " + std::to_string(pid) + " changed under the hook; not registering the session");
        return;
    }
    Record record = table.processRecord(*row);
    record.sessionID = sessionID;
    record.ts = now;
    auto exempt = environment.find("VAZ_ADODIVO_EXEMPT");
    record.exempt = exempt != environment.end() && exempt->second == "1";
    record.fromHooks = true;
    try {
        stateDir.write(record, /*durable=*/false);
        note("session registered from its hooks");
    } catch (const std::exception& error) {
        note(std::string("could not register the session: ") + error.what());
    }
}

void Recorder::waitForHold(const StateDir& stateDir, const std::string& sessionID) const {
    // The daemon holds the session once it sees the safe point just written, and then takes its name out of
    // "waiting". Held, the session goes nowhere after this hook.
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(maxHoldWait);
    while (std::chrono::steady_clock::now() < until && holdPending(stateDir, sessionID)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    note(holdPending(stateDir, sessionID) ? "the daemon did not hold the session in time"
                                          : "the daemon held the session");
}

}  // namespace

void run(const Environment& environment) {
    Recorder recorder{environment};
    auto debug = environment.find("LST_TEE_DEBUG");
    recorder.debug = debug != environment.end() && debug->second == "1";
    try {
        FileRead::Outcome read = FileRead::all(STDIN_FILENO, maxInputBytes);
        // A hook's input can carry a tool's whole output; only these members of it are read.
        StatusInput input = StatusInput::fromBytes(read.bytes, {"session_id", "hook_event_name", "agent_id", "error"});
        StateDir stateDir = StateDir::fromEnvironment(std::nullopt, environment);
        if (auto problem = stateDir.trustProblem()) {
            recorder.note(*problem + "; not recording");
            return;
        }
        recorder.record(stateDir, input.status);
    } catch (const std::exception& error) {
        recorder.note(std::string("recording failed: ") + error.what());
    }
}

}  // namespace tracker::HookRecorder
