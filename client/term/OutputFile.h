// A file a command saves a stream to, written under a ".part" name and
// renamed when complete, so a failed or cancelled transfer never leaves a
// truncated file behind. An empty path writes nothing; "-" is standard output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vesk {

class OutputFile {
public:
    explicit OutputFile(const std::string& path) : path(path) {}
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False (errno set) when the ".part" file cannot be created.
    bool Open();
    bool Write(std::string_view bytes);
    // Flushes, closes and renames; false (errno set) on failure.
    bool Commit();

private:
    std::string path;
    std::string partial;
    FILE* file = nullptr;
};

}  // namespace vesk
