#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tracker {

// What tells one version of a file from another without reading it: inode, size, modification and change
// times, mode and owner. Every writer of the state directory replaces a file (a new inode) and an editor's
// save changes its times, so an equal stamp means the same content.
struct FileStamp {
    std::uint64_t inode = 0;
    std::int64_t size = 0, modifiedSeconds = 0, modifiedNanoseconds = 0, changedSeconds = 0, changedNanoseconds = 0;
    std::uint32_t mode = 0, owner = 0;

    static FileStamp of(const struct stat& info);
    // The stamp of the entry at path itself (a link is not followed); none when there is none.
    static std::optional<FileStamp> at(const std::string& path);

    bool operator==(const FileStamp&) const = default;
};

}  // namespace tracker
