#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Core/Proc.hpp"

namespace tracker::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
// How often part stands in text (overlapping ones too).
int occurrences(const std::string& text, const std::string& part);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

// The status document Claude Code sends, as checked in under tests/fixtures.
std::string fixturePath(const std::string& name);
std::string statusInputFixture();

// Paths of programs built alongside the tests.
std::string builtProgram(const std::string& name);    // e.g. "tarnel-tee"
std::string supportProgram(const std::string& name);  // tests/support helpers

// Sets an environment variable of this process (for tmux servers and other
// children started afterwards) and puts the previous value back at the end.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// What the real ps prints as the start time of pid, trimmed; empty when gone.
std::string psStart(std::int64_t pid);

// Made-up processes, as the platform would describe them.
// The terminal device of /dev/pts/n.
constexpr std::uint64_t ptsDevice(unsigned n) {
    return (136u << 8) | n;
}
// A start at this second since the epoch (no kernel id): documents store its text().
inline ProcessStart startedAt(std::int64_t seconds) {
    return ProcessStart{std::string(), seconds};
}
// The start most made-up claude processes have (its text is "Tue Dec  8 01:16:34 2026" in UTC).
inline const ProcessStart defaultStart = startedAt(1'796'692'594);
// A process sleeping in the foreground of /dev/pts/1 (no terminal when terminal is none).
Proc processRow(std::int64_t pid, std::int64_t ppid, std::string command, ProcessStart start = defaultStart,
                RunState state = RunState::sleeping, std::optional<std::uint64_t> terminal = ptsDevice(1));

}  // namespace tracker::test
