#include "term/OutputFile.h"

namespace vesk {

OutputFile::~OutputFile() {
    if (file && file != stdout) fclose(file);
    if (!partial.empty()) remove(partial.c_str());
}

bool OutputFile::Open() {
    if (path.empty()) return true;
    if (path == "-") {
        file = stdout;
        return true;
    }
    partial = path + ".part";
    file = fopen(partial.c_str(), "wb");
    if (!file) partial.clear();
    return file != nullptr;
}

bool OutputFile::Write(std::string_view bytes) {
    return !file || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool OutputFile::Commit() {
    if (!file) return true;
    bool ok = fflush(file) == 0;
    if (file != stdout) {
        ok = fclose(file) == 0 && ok;
        file = nullptr;
        ok = ok && rename(partial.c_str(), path.c_str()) == 0;
        if (ok) partial.clear();
    }
    return ok;
}

}  // namespace vesk
