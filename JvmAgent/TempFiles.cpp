#include "TempFiles.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "VeskLogger.h"

namespace Orlo {

namespace {

struct Listed {
    std::string path;
    bool directory;
};

std::mutex listLock;
std::vector<Listed>& List() {
    static std::vector<Listed> paths;
    return paths;
}

bool Unlink(const std::string& path) {
#ifdef _WIN32
    return _unlink(path.c_str()) == 0 || errno == ENOENT;
#else
    return unlink(path.c_str()) == 0 || errno == ENOENT;
#endif
}

// Closes a directory stream when its scope ends.
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Removes path's files (a dump directory holds no subdirectories) and path
// itself; false when something is left.
bool RemoveTree(const std::string& path) {
    std::vector<std::string> names;
    if (std::unique_ptr<DIR, DirCloser> dir{opendir(path.c_str())}) {
        try {
            while (dirent* entry = readdir(dir.get()))
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    names.push_back(path + fileSep + entry->d_name);
        } catch (const std::bad_alloc&) {
            // Removed as far as the names go; the rest stays listed.
        }
    }
    for (const std::string& name : names)
        if (!Unlink(name))
            VeskLogger::LogError(false, "Cannot remove heap dump file %s, errno=%d (%s)", name.c_str(), errno,
                                 strerror(errno));
    if (rmdir(path.c_str()) == 0 || errno == ENOENT) return true;
    VeskLogger::LogError(false, "Cannot remove heap dump directory %s, errno=%d (%s)", path.c_str(), errno,
                         strerror(errno));
    return false;
}

bool Delete(const Listed& entry) { return entry.directory ? RemoveTree(entry.path) : Unlink(entry.path); }

// Lists what was just made; undoes it when the list cannot grow.
bool Add(const std::string& path, bool directory) {
    try {
        std::lock_guard<std::mutex> guard(listLock);
        List().push_back({path, directory});
        return true;
    } catch (const std::bad_alloc&) {
        Delete({path, directory});
        errno = ENOMEM;
        return false;
    }
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

UniqueFile TempFiles::Create(std::string& path) {
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
    UniqueFile file(_fdopen(fd, "wb"));
#else
    UniqueFile file(fdopen(fd, "w"));
#endif
    if (!file) {
        int error = errno;
#ifdef _WIN32
        _close(fd);
#else
        close(fd);
#endif
        Unlink(path);
        errno = error;
        return nullptr;
    }
    if (!Add(path, false)) return nullptr;
    return file;
}

std::string TempFiles::MakeDirectory(const std::string& base, const std::string& prefix) {
    std::string path = base;
    if (!path.empty() && path.back() != fileSep && path.back() != '/') path += fileSep;
    path += prefix + "XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
#ifdef _WIN32
    // No mkdtemp: a fresh name from mkstemp, then a directory of that name,
    // which _mkdir refuses to create when another took the name meanwhile.
    path.clear();
    for (int attempt = 0; attempt < 16 && path.empty(); attempt++) {
        std::vector<char> candidate = name;
        int fd = mkstemp(candidate.data());
        if (fd < 0) return std::string();
        _close(fd);
        _unlink(candidate.data());
        if (_mkdir(candidate.data()) == 0) path = candidate.data();
    }
    if (path.empty()) return path;
#else
    if (!mkdtemp(name.data())) return std::string();
    path = name.data();
#endif
    return Add(path, true) ? path : std::string();
}

bool TempFiles::MakeDirectoryAt(const std::string& path) {
#ifdef _WIN32
    if (_mkdir(path.c_str()) != 0) return false;
#else
    if (mkdir(path.c_str(), 0700) != 0) return false;
#endif
    return Add(path, true);
}

bool TempFiles::Adopt(const std::string& path) { return Add(path, false); }

void TempFiles::Remove(const std::string& path) {
    std::lock_guard<std::mutex> guard(listLock);
    std::vector<Listed>& list = List();
    for (size_t i = 0; i < list.size(); i++) {
        if (list[i].path != path) continue;
        Delete(list[i]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        return;
    }
}

void TempFiles::RemoveAll() {
    std::lock_guard<std::mutex> guard(listLock);
    // Compacted in place: this runs at VM death, where nothing may throw.
    std::vector<Listed>& list = List();
    size_t kept = 0;
    for (Listed& entry : list)
        if (!Delete(entry)) std::swap(list[kept++], entry);
    list.resize(kept);
}

}  // namespace Orlo
