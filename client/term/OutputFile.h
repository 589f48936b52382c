// A file a command saves a stream to, written under a ".part" name and
// renamed when complete (base/AtomicFile), so a failed or cancelled
// transfer never leaves a truncated file behind. An empty path writes
// nothing; "-" is standard output.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "base/AtomicFile.h"

namespace vesk {

class OutputFile {
public:
    explicit OutputFile(const std::string& path) : path(path) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False (errno set) when the ".part" file cannot be created.
    bool Open();
    bool Write(std::string_view bytes);
    // Flushes, closes and renames; false (errno set) on failure.
    bool Commit();

private:
    std::string path;
    std::unique_ptr<AtomicFile> partial;
    FILE* file = nullptr;  // stdout, or partial's
};

}  // namespace vesk
