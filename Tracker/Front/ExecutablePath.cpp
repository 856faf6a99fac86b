#include "Front/ExecutablePath.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace fs = std::filesystem;

namespace tracker::Front {

namespace {

std::string resolved(const fs::path& path) {
    std::error_code ec;
    auto canonical = fs::canonical(path, ec);
    return ec ? std::string() : canonical.string();
}

std::string fromProcessLink() {
    char buffer[4096];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) return "";
    return std::string(buffer, static_cast<size_t>(length));
}

std::string fromSearchPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return "";
    std::string_view rest(path);
    while (true) {
        size_t colon = rest.find(':');
        std::string_view directory = rest.substr(0, colon);
        fs::path candidate = fs::path(directory.empty() ? "." : std::string(directory)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return resolved(candidate);
        if (colon == std::string_view::npos) return "";
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace

std::string executablePath(const char* argv0) {
    std::string link = fromProcessLink();
    if (!link.empty() && link.front() == '/') return link;
    if (!argv0 || !*argv0) return "";
    std::string name(argv0);
    if (name.find('/') != std::string::npos) return resolved(name);
    return fromSearchPath(name);
}

}  // namespace tracker::Front
