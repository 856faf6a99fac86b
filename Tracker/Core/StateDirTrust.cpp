#include "Core/StateDirTrust.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/UserAccounts.hpp"

namespace tracker::StateDirTrust {

namespace {

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string userText(uid_t uid) {
    std::string text = "uid " + std::to_string(uid);
    if (auto name = UserAccounts::loginName(uid)) text += " (" + *name + ")";
    return text;
}

std::string writers(mode_t mode) {
    if ((mode & S_IWGRP) && (mode & S_IWOTH)) return "group and others";
    return (mode & S_IWGRP) ? "its group" : "others";
}

// The parent of an absolute, normalised path; "/" stays "/".
std::string parentOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

// The directory itself: ours, and nobody else may write it.
std::optional<std::string> ownDirectoryProblem(const std::string& path, const struct stat& info) {
    const uid_t self = ::geteuid();
    if (!S_ISDIR(info.st_mode)) return "the state directory " + path + " is not a directory";
    if (info.st_uid != self) {
        return "the state directory " + path + " belongs to " + userText(info.st_uid) + ", not to you (" +
               userText(self) + "); fix it with: chown " + std::to_string(self) + " " + shellWord(path) +
               " && chmod 700 " + shellWord(path) + " (as root), or move it away";
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        return "the state directory " + path + " is writable by " + writers(info.st_mode) + " (mode " +
               octal(info.st_mode) + "); fix it with: chmod 700 " + shellWord(path);
    }
    return std::nullopt;
}

// A directory above: ours or root's, and writable by nobody else unless sticky.
std::optional<std::string> parentProblem(const std::string& path, const struct stat& info) {
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return "the directory " + path + " above the state directory belongs to " + userText(info.st_uid) +
               ", who could replace the state directory; move the state directory elsewhere";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX)) {
        return "the directory " + path + " above the state directory is writable by " + writers(info.st_mode) +
               " (mode " + octal(info.st_mode) + "); fix it with: chmod go-w " + shellWord(path);
    }
    return std::nullopt;
}

// The path and what lstat finds for it and for each directory above it, from the root down, where every one
// exists and none is a link and the path has no "." or ".." in it: it then names itself, and these are what
// realpath and a stat of each would find, in fewer calls. None otherwise.
std::optional<std::vector<std::pair<std::string, struct stat>>> plainPath(const std::string& path) {
    if (path.empty() || path.front() != '/' || (path.size() > 1 && path.back() == '/')) return std::nullopt;
    std::vector<std::pair<std::string, struct stat>> found;
    struct stat info {};
    if (::lstat("/", &info) != 0) return std::nullopt;
    found.emplace_back("/", info);
    for (std::size_t at = 1; at < path.size();) {
        std::size_t end = std::min(path.find('/', at), path.size());
        const std::string_view part(path.data() + at, end - at);
        if (part.empty() || part == "." || part == "..") return std::nullopt;
        std::string prefix = path.substr(0, end);
        if (::lstat(prefix.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return std::nullopt;
        found.emplace_back(std::move(prefix), info);
        at = end + 1;
    }
    return found;
}

}  // namespace

std::string shellWord(const std::string& text) {
    static const char* safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./=:+,@%";
    if (!text.empty() && text.find_first_not_of(safe) == std::string::npos) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::optional<std::string> directoryProblem(const std::string& path) {
    // Judge the directory the path really names, as every later open will see it.
    if (auto plain = plainPath(path)) {
        if (auto problem = ownDirectoryProblem(path, plain->back().second)) return problem;
        for (auto above = std::next(plain->rbegin()); above != plain->rend(); ++above) {
            if (auto problem = parentProblem(above->first, above->second)) return problem;
        }
        return std::nullopt;
    }
    std::string existing = path;
    bool missing = false;
    char resolved[PATH_MAX];
    while (::realpath(existing.c_str(), resolved) == nullptr) {
        if ((errno != ENOENT && errno != ENOTDIR) || existing == "/") {
            return "cannot check the state directory " + path + ": " + std::strerror(errno);
        }
        existing = parentOf(existing);
        missing = true;
    }
    std::string current = resolved;
    struct stat info {};
    if (::stat(current.c_str(), &info) != 0) {
        return "cannot check the state directory " + path + ": " + std::strerror(errno);
    }
    if (!missing) {
        if (auto problem = ownDirectoryProblem(path, info)) return problem;
    } else if (auto problem = parentProblem(current, info)) {
        return problem;
    }
    while (current != "/") {
        current = parentOf(current);
        if (::stat(current.c_str(), &info) != 0) {
            return "cannot check the directory " + current + " above the state directory: " + std::strerror(errno);
        }
        if (auto problem = parentProblem(current, info)) return problem;
    }
    return std::nullopt;
}

std::optional<std::string> fileProblem(const struct stat& info, const std::string& path) {
    if (!S_ISREG(info.st_mode)) return path + " is not a regular file";
    const uid_t self = ::geteuid();
    if (info.st_uid != self) {
        return path + " belongs to " + userText(info.st_uid) + ", not to you (" + userText(self) +
               "); it is ignored. Remove it if you did not put it there: rm " + shellWord(path);
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        return path + " is writable by " + writers(info.st_mode) + " (mode " + octal(info.st_mode) +
               "); it is ignored. Fix it with: chmod go-w " + shellWord(path);
    }
    return std::nullopt;
}

std::optional<JSON> readDocument(const std::string& path, const JSONFile::RefusalHook& oversize, std::string* problem,
                                 std::optional<struct stat>* opened) {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
    // Reading a document leaves its access time alone (no inode write for each read of a fresh record); only
    // the owner may ask that, and another user's file is then opened plainly to be judged below.
#ifdef O_NOATIME
    int fd = ::open(path.c_str(), flags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
#else
    int fd = ::open(path.c_str(), flags);
#endif
    if (fd < 0) {
        if (problem && errno == ELOOP) *problem = path + " is a symbolic link; it is ignored";
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    if (opened) *opened = info;
    if (auto why = fileProblem(info, path)) {
        ::close(fd);
        if (problem) *problem = *why;
        return std::nullopt;
    }
    std::optional<JSONFile::ParseError> unparsed;
    auto value = JSONFile::readOpen(fd, info, path, oversize, problem ? &unparsed : nullptr);
    ::close(fd);
    if (problem && unparsed) *problem = path + " is not JSON: " + unparsed->text();
    return value;
}

}  // namespace tracker::StateDirTrust
