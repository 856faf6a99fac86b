#include "Platform/ProcessContext.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Core/FileRead.hpp"
#include "Core/PIDRange.hpp"
#include "Platform/linux/CgroupFreezer.hpp"
#include "Platform/linux/CgroupV2.hpp"

namespace tracker::ProcessContext {

namespace {

// Far above any environment the kernel lets a program start with.
constexpr std::size_t environmentLimit = 4u * 1024u * 1024u;

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The user bus the user's service manager listens on, where the daemon would ask for a scope.
std::optional<std::string> userBus() {
    std::string runtime;
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
        runtime = dir;
    } else {
        runtime = "/run/user/" + std::to_string(::getuid());
    }
    const std::string socket = runtime + "/bus";
    struct stat info {};
    if (::stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != ::getuid()) {
        return std::nullopt;
    }
    return socket;
}

}  // namespace

std::optional<std::string> environmentVariable(std::int64_t pid, const std::string& name) {
    if (!PIDRange::fits(pid) || name.empty()) return std::nullopt;
    auto read = FileRead::file("/proc/" + std::to_string(pid) + "/environ", environmentLimit);
    if (!read.complete()) return std::nullopt;
    const std::string prefix = name + "=";
    std::string_view rest(read.bytes);
    while (!rest.empty()) {
        auto end = rest.find('\0');
        std::string_view entry = rest.substr(0, end);
        if (entry.substr(0, prefix.size()) == prefix) return std::string(entry.substr(prefix.size()));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::optional<std::string> serviceUnit(std::int64_t pid) {
    auto path = CgroupV2::pathOf(pid);
    if (!path) return std::nullopt;
    // The innermost unit on the way down: "/user.slice/.../user@1000.service/app.slice/x.service".
    std::string walked = *path;
    while (!walked.empty() && walked != "/") {
        std::string name = lastComponent(walked);
        if (name.size() > 8 && name.compare(name.size() - 8, 8, ".service") == 0) return name;
        walked = walked.substr(0, walked.rfind('/'));
    }
    return std::nullopt;
}

HoldOutlook holdOutlook(std::int64_t pid) {
    auto mount = CgroupV2::mount();
    auto signalOnly = [](std::string why) { return HoldOutlook{HoldRoute::signalOnly, std::move(why)}; };
    if (!mount) return signalOnly("no cgroup2 file system is mounted");
    auto current = CgroupV2::directoryOf(*mount, pid);
    if (!current) return signalOnly("its cgroup cannot be read");
    if (CgroupFreezer::isGroupName(lastComponent(*current))) return {HoldRoute::freezer, *current};
    std::string why;
    if (auto delegated = CgroupV2::read(*current + "/cgroup.subtree_control");
        delegated && delegated->find_first_not_of(" \n") != std::string::npos) {
        why = "cgroup " + *current + " hands controllers to its children";
    } else if (::access(current->c_str(), W_OK | X_OK) != 0 ||
               ::access((*current + "/cgroup.procs").c_str(), W_OK) != 0) {
        why = "cgroup " + *current + " is not this user's to change (" + std::strerror(errno) + ")";
    } else {
        return {HoldRoute::freezer, *current};
    }
    if (auto bus = userBus()) return {HoldRoute::userScope, why + "; the user's service manager answers at " + *bus};
    return signalOnly(why + ", and no user service manager answers");
}

}  // namespace tracker::ProcessContext
