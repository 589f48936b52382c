// A file written under a temporary name beside it and renamed over it when
// whole, so that no reader ever meets it partly written, and a failed or
// abandoned write leaves nothing behind: the temporary is removed unless
// Commit succeeded.
#pragma once

#include <cstdio>
#include <string>

#include "base/File.h"

namespace vesk {

class AtomicFile {
public:
    // The temporary is path + suffix (".part").
    AtomicFile(std::string path, std::string suffix);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary; false (errno set) when it cannot be.
    bool Create();
    // The temporary, open for writing; null before Create.
    FILE* Get() const { return file.Get(); }
    const std::string& Temporary() const { return temporary; }
    // Flushes and closes the temporary, then renames it to the path; false
    // (errno set) when any step fails.
    bool Commit();

private:
    std::string path;
    std::string temporary;
    File file;
    bool created = false;
};

}  // namespace vesk
