#pragma once

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
std::string builtProgram(const std::string& name);  // e.g. "tarnel-tee"
std::string supportProgram(const std::string& name);  // tests/support helpers

}  // namespace tracker::test
