#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

}  // namespace tracker::test
