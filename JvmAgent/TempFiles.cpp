#include "TempFiles.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "Orlo.h"

namespace Orlo {

namespace {

std::mutex listLock;
std::vector<std::string>& Listed() {
    static std::vector<std::string> paths;
    return paths;
}

bool Unlink(const std::string& path) {
#ifdef _WIN32
    return _unlink(path.c_str()) == 0 || errno == ENOENT;
#else
    return unlink(path.c_str()) == 0 || errno == ENOENT;
#endif
}

}  // namespace

std::string TempFiles::Directory() {
    const size_t reserve = strlen(NAME_TEMPLATE) + 2;
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
        const char* value = getenv(name);
        if (value && *value && strlen(value) + reserve < PATH_AREA) return value;
    }
    return "/tmp/";
}

FILE* TempFiles::Create(std::string& path) {
    path = Directory();
    if (path.back() != fileSep) path += fileSep;
    path += NAME_TEMPLATE;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    // Not _mktemp_s on Windows: it runs out after 26 names per template,
    // fewer than a large heap's files. mingw-w64's mkstemp retries fresh
    // names with _O_EXCL.
    int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    path = name.data();
#ifdef _WIN32
    FILE* file = _fdopen(fd, "wb");
#else
    FILE* file = fdopen(fd, "w");
#endif
    int error = errno;
    if (file) {
        try {
            Add(path);
            return file;
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
        fclose(file);
    } else {
#ifdef _WIN32
        _close(fd);
#else
        close(fd);
#endif
    }
    Unlink(path);
    errno = error;
    return nullptr;
}

void TempFiles::Add(const std::string& path) {
    std::lock_guard<std::mutex> guard(listLock);
    Listed().push_back(path);
}

void TempFiles::Remove(const std::string& path) {
    std::lock_guard<std::mutex> guard(listLock);
    std::vector<std::string>& paths = Listed();
    for (size_t i = 0; i < paths.size(); i++) {
        if (paths[i] != path) continue;
        Unlink(path);
        paths.erase(paths.begin() + static_cast<std::ptrdiff_t>(i));
        return;
    }
}

void TempFiles::RemoveAll() {
    std::lock_guard<std::mutex> guard(listLock);
    // Compacted in place: this runs at VM death, where nothing may throw.
    std::vector<std::string>& paths = Listed();
    size_t kept = 0;
    for (std::string& path : paths)
        if (!Unlink(path)) paths[kept++].swap(path);
    paths.resize(kept);
}

}  // namespace Orlo
