// A private temporary directory, removed with everything in it.
#pragma once

#include <string>

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

}  // namespace vesktest
