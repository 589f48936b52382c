#include "term/OutputFile.h"

namespace vesk {

bool OutputFile::Open() {
    if (path.empty()) return true;
    if (path == "-") {
        file = stdout;
        return true;
    }
    partial = std::make_unique<AtomicFile>(path, ".part");
    if (!partial->Create()) return false;
    file = partial->Get();
    return true;
}

bool OutputFile::Write(std::string_view bytes) {
    return !file || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool OutputFile::Commit() {
    if (!file) return true;
    if (!partial) return fflush(file) == 0;
    file = nullptr;
    return partial->Commit();
}

}  // namespace vesk
