#include "Platform/UserScope.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "Core/PIDRange.hpp"
#include "Platform/linux/CgroupV2.hpp"

namespace tracker::UserScope {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* managerService = "org.freedesktop.systemd1";
constexpr const char* managerPath = "/org/freedesktop/systemd1";
constexpr const char* managerInterface = "org.freedesktop.systemd1.Manager";
// How often a wait looks at the process's group between messages from the bus.
constexpr std::chrono::milliseconds pollStep{10};

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;

struct SlotCloser {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotCloser>;

struct MessageCloser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageCloser>;

// An sd_bus_error that frees itself.
struct BusError {
    sd_bus_error error{};  // what SD_BUS_ERROR_NULL spells, without its compound literal
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    bool is(const char* name) const { return sd_bus_error_has_name(&error, name); }
    std::string text(int code) const {
        if (error.message) return error.message;
        return std::strerror(code < 0 ? -code : code);
    }
};

void setWhy(std::string* whyNot, std::string text) {
    if (whyNot) *whyNot = std::move(text);
}

std::uint64_t microseconds(Clock::duration duration) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return us < 1 ? 1 : static_cast<std::uint64_t>(us);
}

// Unit names as systemd accepts them, kept to what this project makes: "name.scope".
bool isScopeName(const std::string& name) {
    static constexpr std::string_view suffix = ".scope";
    if (name.size() <= suffix.size() || name.size() > 255) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    for (char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!plain && c != '-' && c != '_' && c != '.' && c != ':') return false;
    }
    return true;
}

// A D-Bus address value: every byte outside the always-safe set as %xx.
std::string escapeAddressValue(const std::string& value) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : value) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("-_/.\\*", c) != nullptr;
        if (safe && c != '\0') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    return out;
}

// The user bus: the session's address, else the socket in the runtime directory (which a systemd user
// service and an SSH login both have), else the one systemd puts there for this uid.
std::string userBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return address;
    std::string runtime;
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
        runtime = dir;
    } else {
        runtime = "/run/user/" + std::to_string(getuid());
    }
    return "unix:path=" + escapeAddressValue(runtime + "/bus");
}

Bus connect(Clock::time_point deadline, std::string* whyNot) {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0) {
        setWhy(whyNot, std::string("cannot make a bus connection: ") + std::strerror(-r));
        return nullptr;
    }
    Bus bus(raw);
    std::string address = userBusAddress();
    if ((r = sd_bus_set_address(raw, address.c_str())) < 0 || (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_set_method_call_timeout(raw, microseconds(deadline - Clock::now()))) < 0 ||
        (r = sd_bus_start(raw)) < 0) {
        setWhy(whyNot, "cannot reach the user bus at " + address + ": " + std::strerror(-r));
        return nullptr;
    }
    // The handshake runs on its own, much longer timeout inside sd-bus: it is waited for here instead.
    while ((r = sd_bus_is_ready(raw)) == 0) {
        auto now = Clock::now();
        if (now >= deadline) {
            setWhy(whyNot, "the user bus at " + address + " did not answer in time");
            return nullptr;
        }
        if ((r = sd_bus_process(raw, nullptr)) < 0) break;
        if (r == 0) sd_bus_wait(raw, microseconds(deadline - now));
    }
    if (r < 0) {
        setWhy(whyNot, "cannot reach the user bus at " + address + ": " + std::strerror(-r));
        return nullptr;
    }
    return bus;
}

// The results of the manager's jobs as they end (JobRemoved), by job path.
struct JobResults {
    std::map<std::string, std::string> ended;

    static int onRemoved(sd_bus_message* message, void* userdata, sd_bus_error*) {
        std::uint32_t id = 0;
        const char* path = nullptr;
        const char* unit = nullptr;
        const char* result = nullptr;
        if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) >= 0 && path && result) {
            static_cast<JobResults*>(userdata)->ended[path] = result;
        }
        return 0;
    }
};

// Calls that take the bus's own timeout end by the deadline too.
void limitCalls(sd_bus* bus, Clock::time_point deadline) {
    sd_bus_set_method_call_timeout(bus, microseconds(deadline - Clock::now()));
}

Slot watchJobs(sd_bus* bus, JobResults& results, Clock::time_point deadline, std::string* whyNot) {
    limitCalls(bus, deadline);
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus, &slot, managerService, managerPath, managerInterface, "JobRemoved",
                                &JobResults::onRemoved, &results);
    if (r < 0) {
        setWhy(whyNot, std::string("cannot watch the user manager's jobs: ") + std::strerror(-r));
        return nullptr;
    }
    return Slot(slot);
}

// Handles bus traffic until the job has ended or done() holds, up to the deadline. The job's result
// ("done", "failed", ...), "" when done() came first, or none at the deadline or on a broken connection.
template <typename Done>
std::optional<std::string> waitForJob(sd_bus* bus, const JobResults& results, const std::string& job,
                                      Clock::time_point deadline, Done done, std::string* whyNot) {
    for (;;) {
        if (auto it = results.ended.find(job); it != results.ended.end()) return it->second;
        if (done()) return std::string();
        auto now = Clock::now();
        if (now >= deadline) {
            setWhy(whyNot, "the user manager did not finish in time");
            return std::nullopt;
        }
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            setWhy(whyNot, std::string("lost the user bus: ") + std::strerror(-r));
            return std::nullopt;
        }
        if (r > 0) continue;
        sd_bus_wait(bus, microseconds(std::min<Clock::duration>(deadline - now, pollStep)));
    }
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The group path of pid when it sits in the scope called name.
std::optional<std::string> scopePathOf(std::int64_t pid, const std::string& name) {
    auto path = CgroupV2::pathOf(pid);
    if (path && endsWith(*path, "/" + name)) return path;
    return std::nullopt;
}

}  // namespace

std::string nameFor(std::int64_t pid) {
    return "tarnel-" + std::to_string(pid) + ".scope";
}

bool holds(std::int64_t pid) {
    auto path = CgroupV2::pathOf(pid);
    if (!path) return false;
    const std::string scope = "/" + nameFor(pid);
    const auto at = path->find(scope);
    return at != std::string::npos && (at + scope.size() == path->size() || (*path)[at + scope.size()] == '/');
}

std::optional<std::string> move(std::int64_t pid, const std::string& name, std::string* whyNot,
                                std::chrono::milliseconds bound) {
    auto deadline = Clock::now() + bound;
    if (!PIDRange::fits(pid)) {
        setWhy(whyNot, "not a process id: " + std::to_string(pid));
        return std::nullopt;
    }
    if (!isScopeName(name)) {
        setWhy(whyNot, "not a scope name: \"" + name + "\"");
        return std::nullopt;
    }
    if (auto there = scopePathOf(pid, name)) return there;
    if (!CgroupV2::pathOf(pid)) {
        setWhy(whyNot, "process " + std::to_string(pid) + " is gone or has no cgroup v2 group");
        return std::nullopt;
    }

    Bus bus = connect(deadline, whyNot);
    if (!bus) return std::nullopt;
    JobResults results;
    Slot slot = watchJobs(bus.get(), results, deadline, whyNot);
    if (!slot) return std::nullopt;

    // StartTransientUnit(name, mode, properties a(sv), auxiliary units a(sa(sv))).
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &raw, managerService, managerPath, managerInterface,
                                           "StartTransientUnit");
    Message call(raw);
    if (r >= 0) r = sd_bus_message_append(raw, "ss", name.c_str(), "fail");
    if (r >= 0) r = sd_bus_message_open_container(raw, 'a', "(sv)");
    if (r >= 0) r = sd_bus_message_append(raw, "(sv)", "Description", "s", "tarnel: a held Claude Code session");
    if (r >= 0) r = sd_bus_message_append(raw, "(sv)", "PIDs", "au", 1, static_cast<std::uint32_t>(pid));
    // The groups we make inside the scope are ours; the manager leaves them alone.
    if (r >= 0) r = sd_bus_message_append(raw, "(sv)", "Delegate", "b", 1);
    if (r >= 0) r = sd_bus_message_close_container(raw);
    if (r >= 0) r = sd_bus_message_append(raw, "a(sa(sv))", 0);
    if (r < 0) {
        setWhy(whyNot, std::string("cannot build the request: ") + std::strerror(-r));
        return std::nullopt;
    }
    BusError error;
    sd_bus_message* replyRaw = nullptr;
    r = sd_bus_call(bus.get(), raw, microseconds(deadline - Clock::now()), &error.error, &replyRaw);
    Message reply(replyRaw);
    if (r < 0) {
        setWhy(whyNot, "the user manager did not start " + name + ": " + error.text(r));
        return std::nullopt;
    }
    const char* job = nullptr;
    if (sd_bus_message_read(replyRaw, "o", &job) < 0 || !job) {
        setWhy(whyNot, "the user manager's answer names no job");
        return std::nullopt;
    }

    auto result = waitForJob(
        bus.get(), results, job, deadline, [&] { return scopePathOf(pid, name).has_value(); }, whyNot);
    if (!result) return std::nullopt;
    if (!result->empty() && *result != "done") {
        setWhy(whyNot, "the user manager's job for " + name + " ended: " + *result);
        return std::nullopt;
    }
    auto path = scopePathOf(pid, name);
    if (!path) setWhy(whyNot, "process " + std::to_string(pid) + " is not in " + name + " after the move");
    return path;
}

bool remove(const std::string& name, std::string* whyNot, std::chrono::milliseconds bound) {
    auto deadline = Clock::now() + bound;
    if (!isScopeName(name)) {
        setWhy(whyNot, "not a scope name: \"" + name + "\"");
        return false;
    }
    Bus bus = connect(deadline, whyNot);
    if (!bus) return false;
    JobResults results;
    Slot slot = watchJobs(bus.get(), results, deadline, whyNot);
    if (!slot) return false;

    limitCalls(bus.get(), deadline);
    BusError error;
    sd_bus_message* replyRaw = nullptr;
    int r = sd_bus_call_method(bus.get(), managerService, managerPath, managerInterface, "StopUnit", &error.error,
                               &replyRaw, "ss", name.c_str(), "fail");
    Message reply(replyRaw);
    if (r < 0) {
        if (error.is("org.freedesktop.systemd1.NoSuchUnit")) return true;
        setWhy(whyNot, "the user manager did not stop " + name + ": " + error.text(r));
        return false;
    }
    const char* job = nullptr;
    if (sd_bus_message_read(replyRaw, "o", &job) < 0 || !job) {
        setWhy(whyNot, "the user manager's answer names no job");
        return false;
    }
    auto result = waitForJob(
        bus.get(), results, job, deadline, [] { return false; }, whyNot);
    if (!result) return false;
    if (*result != "done") {
        setWhy(whyNot, "the user manager's job stopping " + name + " ended: " + *result);
        return false;
    }
    return true;
}

}  // namespace tracker::UserScope
