#include "Platform/linux/CgroupV2.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Core/FileRead.hpp"
#include "Core/PIDRange.hpp"

namespace tracker {

namespace {

std::vector<std::string_view> splitOn(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as three-digit octal escapes.
std::string unescapeMountPath(std::string_view field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            auto digits = field.substr(i + 1, 3);
            bool octal = true;
            for (char c : digits) octal = octal && c >= '0' && c <= '7';
            if (octal) {
                path += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return path;
}

}  // namespace

std::optional<CgroupV2::Mount> CgroupV2::mountIn(std::string_view mountinfo) {
    for (auto line : splitOn(mountinfo, '\n')) {
        // id parent major:minor root mount-point options [optional fields...] - type source super-options
        auto fields = splitOn(line, ' ');
        std::size_t dash = 0;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash < 6 || dash + 1 >= fields.size()) continue;
        if (fields[dash + 1] != "cgroup2") continue;
        Mount mount;
        mount.root = unescapeMountPath(fields[3]);
        mount.path = unescapeMountPath(fields[4]);
        return mount;
    }
    return std::nullopt;
}

std::optional<CgroupV2::Mount> CgroupV2::mount() {
    auto text = read("/proc/self/mountinfo");
    if (!text) return std::nullopt;
    return mountIn(*text);
}

std::optional<std::string> CgroupV2::pathIn(std::string_view procCgroup) {
    for (auto line : splitOn(procCgroup, '\n')) {
        if (line.substr(0, 3) != "0::") continue;
        auto path = line.substr(3);
        if (path.empty() || path.front() != '/') return std::nullopt;
        return std::string(path);
    }
    return std::nullopt;
}

std::optional<std::string> CgroupV2::pathOf(std::int64_t pid) {
    if (!PIDRange::fits(pid)) return std::nullopt;
    auto text = read("/proc/" + std::to_string(pid) + "/cgroup");
    if (!text) return std::nullopt;
    return pathIn(*text);
}

std::optional<std::string> CgroupV2::directoryFor(const Mount& mount, const std::string& path) {
    // A path outside our cgroup namespace ("/../x") or a name with a line break is not ours to touch.
    if (path.find("/..") != std::string::npos || path.find('\n') != std::string::npos) return std::nullopt;
    std::string relative = path;
    if (mount.root != "/") {
        if (path != mount.root && path.rfind(mount.root + "/", 0) != 0) return std::nullopt;
        relative = path.substr(mount.root.size());
    }
    if (relative.empty() || relative == "/") return mount.path;
    return mount.path + relative;
}

std::optional<std::string> CgroupV2::directoryOf(const Mount& mount, std::int64_t pid) {
    auto path = pathOf(pid);
    if (!path) return std::nullopt;
    return directoryFor(mount, *path);
}

std::vector<std::int64_t> CgroupV2::processes(const std::string& directory) {
    std::vector<std::int64_t> pids;
    auto text = read(directory + "/cgroup.procs");
    if (!text) return pids;
    for (auto line : splitOn(*text, '\n')) {
        if (line.empty()) continue;
        std::string word(line);
        char* end = nullptr;
        long long pid = std::strtoll(word.c_str(), &end, 10);
        if (end != word.c_str() && *end == '\0' && pid > 0) pids.push_back(pid);
    }
    return pids;
}

std::optional<std::string> CgroupV2::read(const std::string& path) {
    // Cgroup files are small; a limit far above any keeps a strange file from taking memory.
    FileRead::Outcome outcome = FileRead::file(path, 1u << 20);
    if (outcome.error) return std::nullopt;
    return std::move(outcome.bytes);
}

int CgroupV2::write(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    ssize_t n;
    do {
        n = ::write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    int error = n < 0 ? errno : (static_cast<std::size_t>(n) == text.size() ? 0 : EIO);
    close(fd);
    return error;
}

std::optional<std::string> CgroupV2::keyedValue(std::string_view text, std::string_view key) {
    for (auto line : splitOn(text, '\n')) {
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ') {
            return std::string(line.substr(key.size() + 1));
        }
    }
    return std::nullopt;
}

}  // namespace tracker
