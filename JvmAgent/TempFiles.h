// The agent's temporary files, process-wide: made here and listed until
// removed, so that VM death can delete whatever requests still hold.
#pragma once

#include <cstdio>
#include <string>

namespace Orlo {

class TempFiles {
public:
    static constexpr size_t PATH_AREA = 512;
    static constexpr const char* NAME_TEMPLATE = "VESK_XXXXXX";

    // Directory of the snapshot files (and of heap dumps without room in
    // memory): the first usable of TEMP, TMP and TMPDIR, else /tmp/.
    static std::string Directory();
    // A new file readable by its owner only, named after the template in
    // Directory(), opened for writing and listed. Null with errno set on failure; path names the attempt.
    static FILE* Create(std::string& path);
    // Lists a file made elsewhere.
    static void Add(const std::string& path);
    // Deletes a listed file and forgets it; an unlisted one is left alone,
    // as its name may since have been given to another file.
    static void Remove(const std::string& path);
    // Deletes every listed file; one that cannot go yet (open elsewhere on
    // Windows) stays listed for its owner's Remove.
    static void RemoveAll();
};

}  // namespace Orlo
