#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Core/FileStamp.hpp"
#include "Core/JSONFile.hpp"
#include "Core/Records.hpp"

namespace tracker {

// Session records as last read, by path, with the file stamp they were read at: a reader that looks at the
// same records several times a second parses only the files that changed. Not locked.
class RecordCache {
public:
    // The record in the file at path: the cached one when the file's stamp (inode, size, modification and
    // change times, mode, owner) is what it was, else read anew through the state directory's trusted
    // reader. None when the file is gone or not a readable record.
    std::optional<Record> read(const std::string& path, const JSONFile::RefusalHook& refused);
    // The record at path as last read, without looking at the file (the caller knows it has not changed
    // since); read as above when it never was.
    std::optional<Record> readUnchanged(const std::string& path, const JSONFile::RefusalHook& refused);
    // The record at path read anew (the caller knows it changed), without first comparing stamps.
    std::optional<Record> readChanged(const std::string& path, const JSONFile::RefusalHook& refused);
    // Forgets every path not read since the last call, so files that went stay forgotten. `listed`: every
    // file of the directory was read, so the paths kept are all there are.
    void forgetUnread(bool listed);

    // Whether the paths kept are all the directory holds (a listing was read; changes since are known).
    bool complete() const { return complete_; }
    std::vector<std::string> paths() const;

private:
    struct Entry {
        FileStamp stamp;
        std::optional<Record> record;
        bool read = false;
    };
    // Parses value as the record at path and keeps it with the stamp it was read at.
    std::optional<Record> keep(const std::string& path, const FileStamp& stamp, const std::optional<JSON>& value);

    std::map<std::string, Entry> entries_;
    bool complete_ = false;
};

}  // namespace tracker
