#include "Core/FileStamp.hpp"

namespace tracker {

FileStamp FileStamp::of(const struct stat& info) {
    return FileStamp{info.st_ino,         info.st_size,         info.st_mtim.tv_sec, info.st_mtim.tv_nsec,
                     info.st_ctim.tv_sec, info.st_ctim.tv_nsec, info.st_mode,        info.st_uid};
}

std::optional<FileStamp> FileStamp::at(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return of(info);
}

}  // namespace tracker
