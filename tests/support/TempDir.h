// A private temporary directory, removed with everything in it.
#pragma once

#include <string>
#include <vector>

namespace vesktest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }
    // Writes text to a file below this directory and returns its path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string path;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Paths of the entries of dir whose names start with prefix.
std::vector<std::string> EntriesStartingWith(const std::string& dir, const std::string& prefix);

}  // namespace vesktest
