#include "Core/RecordCache.hpp"

#include <iterator>

#include "Core/StateDirTrust.hpp"

namespace tracker {

std::optional<Record> RecordCache::read(const std::string& path, const JSONFile::RefusalHook& refused) {
    const auto stamp = FileStamp::at(path);
    if (!stamp) {
        entries_.erase(path);
        return std::nullopt;
    }
    auto found = entries_.find(path);
    if (found != entries_.end() && found->second.stamp == *stamp) {
        found->second.read = true;
        return found->second.record;
    }
    return keep(path, *stamp, StateDirTrust::readDocument(path, refused));
}

std::optional<Record> RecordCache::keep(const std::string& path, const FileStamp& stamp,
                                        const std::optional<JSON>& value) {
    Entry& entry = entries_[path];
    entry.stamp = stamp;
    entry.record = Record::fromJSON(value ? &*value : nullptr, path);
    entry.read = true;
    return entry.record;
}

std::optional<Record> RecordCache::readUnchanged(const std::string& path, const JSONFile::RefusalHook& refused) {
    auto found = entries_.find(path);
    if (found == entries_.end()) return read(path, refused);
    found->second.read = true;
    return found->second.record;
}

std::optional<Record> RecordCache::readChanged(const std::string& path, const JSONFile::RefusalHook& refused) {
    std::optional<struct stat> opened;
    auto value = StateDirTrust::readDocument(path, refused, nullptr, &opened);
    if (!opened) {
        entries_.erase(path);
        return std::nullopt;
    }
    return keep(path, FileStamp::of(*opened), value);
}

std::vector<std::string> RecordCache::paths() const {
    std::vector<std::string> paths;
    paths.reserve(entries_.size());
    for (const auto& [path, entry] : entries_) paths.push_back(path);
    return paths;
}

void RecordCache::forgetUnread(bool listed) {
    if (listed) complete_ = true;
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
