// The one owner of a stdio FILE*: it closes what it holds when it goes,
// whatever way the scope is left. Movable, not copyable.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace vesk {

class File {
public:
    File() = default;
    // Takes file over; null holds nothing.
    explicit File(FILE* file) : file(file) {}
    ~File() { Close(); }
    File(File&& other) noexcept : file(std::exchange(other.file, nullptr)) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            Close();
            file = std::exchange(other.file, nullptr);
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // path opened with fopen's mode; throws ClientError (File) "cannot open
    // PATH: REASON" when it cannot be.
    static File Open(const std::string& path, const char* mode = "rb");
    // The same, holding nothing (errno set) when it cannot be opened.
    static File TryOpen(const std::string& path, const char* mode = "rb");

    FILE* Get() const { return file; }
    explicit operator bool() const { return file != nullptr; }
    // Closes now; false (errno set) when the close failed, as for data
    // still buffered that could not be written. True when nothing was held.
    bool Close();

    // Throws ClientError (File) "cannot read PATH: REASON" from errno.
    [[noreturn]] static void ReadFailed(const std::string& path);

private:
    FILE* file = nullptr;
};

}  // namespace vesk
