#include "Core/RecordCache.hpp"

#include <sys/stat.h>

#include <iterator>

#include "Core/StateDirTrust.hpp"

namespace tracker {

std::optional<Record> RecordCache::read(const std::string& path, const JSONFile::RefusalHook& refused) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        entries_.erase(path);
        return std::nullopt;
    }
    const Stamp stamp{info.st_ino,         info.st_size,         info.st_mtim.tv_sec, info.st_mtim.tv_nsec,
                      info.st_ctim.tv_sec, info.st_ctim.tv_nsec, info.st_mode,        info.st_uid};
    auto found = entries_.find(path);
    if (found != entries_.end() && found->second.stamp == stamp) {
        found->second.read = true;
        return found->second.record;
    }
    auto value = StateDirTrust::readDocument(path, refused);
    Entry& entry = entries_[path];
    entry.stamp = stamp;
    entry.record = Record::fromJSON(value ? &*value : nullptr, path);
    entry.read = true;
    return entry.record;
}

void RecordCache::forgetUnread() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (!it->second.read) {
            it = entries_.erase(it);
        } else {
            it->second.read = false;
            ++it;
        }
    }
}

}  // namespace tracker
