#include "base/AtomicFile.h"

#include <cerrno>
#include <utility>

namespace vesk {

AtomicFile::AtomicFile(std::string path, std::string suffix) : path(std::move(path)) {
    temporary = this->path + suffix;
}

AtomicFile::~AtomicFile() {
    file.Close();
    if (created) remove(temporary.c_str());
}

bool AtomicFile::Create() {
    file = File::TryOpen(temporary, "wb");
    created = static_cast<bool>(file);
    return created;
}

bool AtomicFile::Commit() {
    if (!created) return false;
    bool flushed = fflush(file.Get()) == 0;
    int saved = errno;
    bool closed = file.Close();
    if (flushed && !closed) saved = errno;
    if (!flushed || !closed) {
        errno = saved;
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) return false;
    created = false;
    return true;
}

}  // namespace vesk
