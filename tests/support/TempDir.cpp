#include "TempDir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vesktest {

TempDir::TempDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, created exclusively by create_directory.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path.empty(); attempt++) {
        std::filesystem::path name = base / ("vesktest_" + std::to_string(random()));
        if (std::filesystem::create_directory(name)) path = name.string();
    }
    if (path.empty()) throw std::runtime_error("cannot create a temporary directory");
#else
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vesktest_XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
#endif
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& text) const {
    std::string file = File(name);
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::string ReadFile(const std::string& path) {
#ifdef _WIN32
    // Text mode: lines written in text mode end in CR LF there.
    std::ifstream in(path);
#else
    std::ifstream in(path, std::ios::binary);
#endif
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> EntriesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path().string());
    return found;
}

#ifndef _WIN32
std::string TempDir::WriteKey(const std::string& name, char fill) const {
    std::string written = Write(name, std::string(64, fill) + "\n");
    chmod(written.c_str(), 0600);
    return written;
}
#endif

}  // namespace vesktest
