#include "DebianPackage.hpp"

#include <filesystem>

namespace tracker::test {

const std::string& debianPackageDir() {
    static const std::string dir = TARNEL_PACKAGE_DIR;
    return dir;
}

std::string debianPackage() {
    std::string newest;
    std::filesystem::file_time_type newestTime;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(debianPackageDir(), ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("tarnel_") || !name.ends_with(".deb")) continue;
        if (newest.empty() || entry.last_write_time() > newestTime) {
            newest = entry.path().string();
            newestTime = entry.last_write_time();
        }
    }
    return newest;
}

}  // namespace tracker::test
