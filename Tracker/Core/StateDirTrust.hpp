#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "Core/JSONFile.hpp"

// Whom the state directory and its documents belong to. The directory decides
// which processes get held and continued, and config.json names a command the
// tee runs, so both are trusted only when nobody but this process's user can
// change them: owned by the effective user and writable by nobody else.
namespace tracker::StateDirTrust {

// Why the directory at path cannot be trusted, none when it can: it must be a
// directory owned by the effective user that neither group nor others may
// write, and every directory above it (symbolic links resolved) must belong to
// that user or root and be writable by nobody else unless it is sticky (/tmp).
// A path that does not exist yet is judged by its nearest existing parent.
// The text names the path and the command that fixes it.
std::optional<std::string> directoryProblem(const std::string& path);

// Why the open file with this status cannot be trusted as a document: it is
// not a regular file, belongs to another user, or group or others may write it.
std::optional<std::string> fileProblem(const struct stat& info, const std::string& path);

// The JSON document at path when it is a regular file owned by the effective
// user that nobody else may write. Never follows a symbolic link at the last
// component and never blocks on a FIFO. Absent when the file is missing,
// untrusted (problem then says why), too large (oversize is told) or does
// not parse (problem then names the line and column where it stops being
// JSON). Never throws. `opened` gets the status of the file once it was
// opened, whatever came of it.
std::optional<JSON> readDocument(const std::string& path, const JSONFile::RefusalHook& oversize = {},
                                 std::string* problem = nullptr, std::optional<struct stat>* opened = nullptr);

// "chmod 700 DIR" and the like, quoted for the shell where needed.
std::string shellWord(const std::string& text);

}  // namespace tracker::StateDirTrust
