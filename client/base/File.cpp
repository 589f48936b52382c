#include "base/File.h"

#include <cerrno>
#include <cstring>

#include "base/ClientError.h"

namespace vesk {

File File::Open(const std::string& path, const char* mode) {
    File opened = TryOpen(path, mode);
    if (!opened) throw ClientError(ErrorKind::File, "cannot open " + path + ": " + strerror(errno));
    return opened;
}

File File::TryOpen(const std::string& path, const char* mode) { return File(fopen(path.c_str(), mode)); }

bool File::Close() {
    if (!file) return true;
    return fclose(std::exchange(file, nullptr)) == 0;
}

void File::ReadFailed(const std::string& path) {
    throw ClientError(ErrorKind::File, "cannot read " + path + ": " + strerror(errno));
}

}  // namespace vesk
