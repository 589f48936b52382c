// The agent's temporary files and directories, process-wide: made here and
// listed until removed, so that VM death and agent unload can delete
// whatever requests still hold. Any thread; the list has its own lock.
#pragma once

#include <string>

#include "Orlo.h"

namespace Orlo {

class TempFiles {
public:
    static constexpr size_t PATH_AREA = 512;
    static constexpr const char* NAME_TEMPLATE = "VESK_XXXXXX";

    // Directory of the snapshot files (and of heap dumps without room in
    // memory): the first usable of TEMP, TMP and TMPDIR, else /tmp/.
    static std::string Directory();
    // A new file readable by its owner only, named after the template in
    // Directory(), opened for writing and listed. Null with errno set on
    // failure; path names the attempt.
    static UniqueFile Create(std::string& path);
    // A new directory of mode 0700 in base, named prefix and six random
    // characters, listed. Empty with errno set on failure.
    static std::string MakeDirectory(const std::string& base, const std::string& prefix);
    // The directory path, made now with mode 0700 (failing when the name is
    // taken: nothing someone else put there is used) and listed. False with
    // errno set on failure.
    static bool MakeDirectoryAt(const std::string& path);
    // Lists a file the caller made under a name of its own, so that it goes
    // with the rest; false (the file deleted) when the list cannot grow.
    static bool Adopt(const std::string& path);
    // Deletes a listed file, or a listed directory with the files in it, and
    // forgets it; an unlisted one is left alone, as its name may since have
    // been given to another.
    static void Remove(const std::string& path);
    // Deletes everything listed; what cannot go yet (open elsewhere on
    // Windows) stays listed for its owner's Remove. Never throws.
    static void RemoveAll();
};

}  // namespace Orlo
