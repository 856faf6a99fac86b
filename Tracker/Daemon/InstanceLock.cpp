#include "Daemon/InstanceLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Core/FileRead.hpp"

namespace tracker::InstanceLock {

namespace {

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    size_t start = text.find_first_not_of(blanks);
    if (start == std::string::npos) return "";
    size_t end = text.find_last_not_of(blanks);
    return text.substr(start, end - start + 1);
}

}  // namespace

Outcome acquire(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0 && errno == ELOOP) {
        return {-1, "the daemon lock " + path + " is a symbolic link; remove it and start again"};
    }
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            ::close(fd);
            return {-1, "the daemon lock " + path + " is not a regular file of yours; remove it and start again"};
        }
    }
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        if (::ftruncate(fd, 0) == 0) {
            std::string pid = std::to_string(::getpid()) + "\n";
            ssize_t ignored = ::pwrite(fd, pid.data(), pid.size(), 0);
            (void)ignored;
        }
        return {fd, {}};
    }
    int error = errno;
    if (fd >= 0) ::close(fd);
    if (error == EWOULDBLOCK) {
        std::string holder = trimmed(FileRead::file(path, 4096, O_NOFOLLOW | O_NONBLOCK).bytes);
        return {-1, "another tarnel-vovivida is already running" + (holder.empty() ? "" : " (pid " + holder + ")") +
                        "; refusing to start a second one. Lock: " + path};
    }
    return {-1, "cannot take the daemon lock at " + path + ": " + std::strerror(error)};
}

}  // namespace tracker::InstanceLock
