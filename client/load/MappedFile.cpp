#include "load/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vesk {

namespace {

// The descriptor is needed only until the mapping exists.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

}  // namespace

MappedFile::~MappedFile() { Unmap(); }

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        Unmap();
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
    }
    return *this;
}

void MappedFile::Unmap() {
    if (data) munmap(const_cast<uint8_t*>(data), size);
    data = nullptr;
    size = 0;
}

void MappedFile::Release(const uint8_t* from, const uint8_t* to) const {
    if (from < data || to > data + size) return;  // not this mapping's: a reader's own buffer
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t first = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
    uintptr_t last = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

bool MappedFile::Map(const std::string& path, std::string* error) {
    Unmap();
    Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0 || st.st_size == 0) {
        *error = path + ": empty or unreadable";
        return false;
    }
    size_t length = static_cast<size_t>(st.st_size);
    void* mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file.fd, 0);
    if (mapped == MAP_FAILED) {
        *error = "cannot map " + path + ": " + strerror(errno);
        return false;
    }
    madvise(mapped, length, MADV_SEQUENTIAL);
    data = static_cast<const uint8_t*>(mapped);
    size = length;
    return true;
}

}  // namespace vesk
