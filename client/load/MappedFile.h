// A whole file mapped read-only, unmapped when its owner goes. Movable, not
// copyable; a default-constructed one maps nothing. Pages read are counted in
// the process's resident memory until Release drops them: a reader going
// front to back releases what lies behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk {

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps path for reading front to back. False with a message naming the
    // path when it cannot be opened, is empty or cannot be mapped.
    bool Map(const std::string& path, std::string* error);

    const uint8_t* Data() const { return data; }
    size_t Size() const { return size; }
    // Drops the whole pages of [from, to) from resident memory; reading them
    // again reads the file again. Bytes not of this mapping are left alone.
    void Release(const uint8_t* from, const uint8_t* to) const;

private:
    void Unmap();

    const uint8_t* data = nullptr;
    size_t size = 0;
};

}  // namespace vesk
