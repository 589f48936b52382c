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
#ifndef _WIN32
    // An authentication key file, 64 fill bytes and a line end, mode 0600.
    std::string WriteKey(const std::string& name, char fill) const;
#endif

private:
    std::string path;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Paths of the entries of dir whose names start with prefix.
std::vector<std::string> EntriesStartingWith(const std::string& dir, const std::string& prefix);

}  // namespace vesktest
