#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

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
    // Forgets every path not read since the last call, so files that went stay forgotten.
    void forgetUnread();

private:
    struct Stamp {
        std::uint64_t inode = 0;
        std::int64_t size = 0, modifiedSeconds = 0, modifiedNanoseconds = 0, changedSeconds = 0, changedNanoseconds = 0;
        std::uint32_t mode = 0, owner = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct Entry {
        Stamp stamp;
        std::optional<Record> record;
        bool read = false;
    };
    std::map<std::string, Entry> entries_;
};

}  // namespace tracker
