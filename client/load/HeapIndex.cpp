#include "load/HeapIndex.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/AtomicFile.h"
#include "base/ClientError.h"
#include "load/IndexArchive.h"

namespace vesk {

namespace {

constexpr char MAGIC[8] = {'V', 'E', 'S', 'K', 'I', 'D', 'X', '\n'};
// Bumped whenever a Members list or the layout changes.
constexpr uint32_t VERSION = 9;  // 2: shallow sizes in 2 bytes; 3: roots without padding; 4: class objects' own
                                 // fields; 5: retained sizes in 4 bytes; 6: fillers; 7: details;
                                 // 8: no loaders in the details (the graph has them);
                                 // 9: compressed sections
constexpr uint32_t ORDER_MARK = 0x01020304;

struct Header {
    uint64_t sourceSize = 0;
    int64_t sourceModifiedNs = 0;
    uint64_t graphBytes = 0, graphHash = 0, treeBytes = 0, treeHash = 0, detailsBytes = 0, detailsHash = 0;
    std::string sourcePath;
};

std::string EncodeHeader(const Header& header) {
    std::string bytes(MAGIC, sizeof MAGIC);
    auto put = [&](const auto& value) { bytes.append(reinterpret_cast<const char*>(&value), sizeof value); };
    put(VERSION);
    put(ORDER_MARK);
    put(header.sourceSize);
    put(header.sourceModifiedNs);
    put(header.graphBytes);
    put(header.graphHash);
    put(header.treeBytes);
    put(header.treeHash);
    put(header.detailsBytes);
    put(header.detailsHash);
    put(static_cast<uint32_t>(header.sourcePath.size()));
    bytes += header.sourcePath;
    Hash64 hash;
    hash.Update(bytes.data(), bytes.size());
    put(hash.Digest());
    return bytes;
}

// The header at the start of file, or false when it is no index header of this version.
bool DecodeHeader(FILE* file, Header* header, uint64_t* length) {
    std::string bytes(sizeof MAGIC + 2 * sizeof(uint32_t) + 8 * sizeof(uint64_t) + sizeof(uint32_t), '\0');
    if (fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) return false;
    if (memcmp(bytes.data(), MAGIC, sizeof MAGIC) != 0) return false;
    size_t at = sizeof MAGIC;
    auto get = [&](auto* value) {
        memcpy(value, bytes.data() + at, sizeof *value);
        at += sizeof *value;
    };
    uint32_t version = 0, order = 0, pathLength = 0;
    get(&version);
    get(&order);
    if (version != VERSION || order != ORDER_MARK) return false;
    get(&header->sourceSize);
    get(&header->sourceModifiedNs);
    get(&header->graphBytes);
    get(&header->graphHash);
    get(&header->treeBytes);
    get(&header->treeHash);
    get(&header->detailsBytes);
    get(&header->detailsHash);
    get(&pathLength);
    if (pathLength > PATH_MAX) return false;
    header->sourcePath.resize(pathLength);
    uint64_t stored = 0;
    if (fread(header->sourcePath.data(), 1, pathLength, file) != pathLength ||
        fread(&stored, 1, sizeof stored, file) != sizeof stored)
        return false;
    std::string again = EncodeHeader(*header);
    *length = again.size();
    return memcmp(again.data() + again.size() - sizeof stored, &stored, sizeof stored) == 0;
}

}  // namespace

bool StampSource(const std::string& path, SourceStamp* stamp) {
    struct stat st;
    // A pipe or device has no size and time to tell a change by.
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    stamp->size = static_cast<uint64_t>(st.st_size);
    stamp->modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), free);
    stamp->path = real ? real.get() : path;
    return true;
}

std::string IndexBeside(const std::string& source) { return source + ".vidx"; }

std::string CacheDirectory() {
    const char* cache = getenv("XDG_CACHE_HOME");
    const char* home = getenv("HOME");
    if (cache && cache[0] == '/') return std::string(cache) + "/vesk";
    if (home && home[0] != '\0') return std::string(home) + "/.cache/vesk";
    return "";
}

bool MakeDirectories(const std::string& dir) {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// "NAME-PATHHASH-": what every index of source's path in the cache starts with.
static std::string CachePrefix(const SourceStamp& source) {
    Hash64 hash;
    hash.Update(source.path.data(), source.path.size());
    char key[18];
    snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash.Digest()));
    size_t slash = source.path.rfind('/');
    return source.path.substr(slash == std::string::npos ? 0 : slash + 1) + "-" + key + "-";
}

static std::string StampKey(const SourceStamp& source) {
    Hash64 hash;
    hash.Update(&source.size, sizeof source.size);
    hash.Update(&source.modifiedNs, sizeof source.modifiedNs);
    char key[17];
    snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash.Digest()));
    return key;
}

std::string IndexInCache(const SourceStamp& source) {
    std::string dir = CacheDirectory();
    return dir.empty() ? "" : dir + "/" + CachePrefix(source) + StampKey(source) + ".vidx";
}

void ForgetOtherIndexesInCache(const SourceStamp& source) {
    std::string dir = CacheDirectory(), prefix = CachePrefix(source), kept = prefix + StampKey(source) + ".vidx";
    std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(dir.c_str()), closedir);
    if (!listing) return;
    while (dirent* entry = readdir(listing.get())) {
        std::string name = entry->d_name;
        if (name.size() == kept.size() && name.compare(0, prefix.size(), prefix) == 0 && name != kept &&
            name.compare(name.size() - 5, 5, ".vidx") == 0)
            unlink((dir + "/" + name).c_str());
    }
}

HeapIndexReader::~HeapIndexReader() = default;

// The next length bytes of file, as stored, when their hash is expected.
static bool ReadSection(FILE* file, uint64_t length, uint64_t expected, std::string* stored) {
    stored->resize(length);
    if (fread(stored->data(), 1, length, file) != length) return false;
    Hash64 hash;
    hash.Update(stored->data(), stored->size());
    return hash.Digest() == expected;
}

// The header of an index of source that file holds whole; false for none.
static bool CheckHeader(FILE* file, const SourceStamp& source, bool checkPath, Header* header, uint64_t* headerBytes) {
    struct stat st;
    return DecodeHeader(file, header, headerBytes) && header->sourceSize == source.size &&
           header->sourceModifiedNs == source.modifiedNs && (!checkPath || header->sourcePath == source.path) &&
           fstat(fileno(file), &st) == 0 &&
           static_cast<uint64_t>(st.st_size) ==
               *headerBytes + header->graphBytes + header->treeBytes + header->detailsBytes;
}

bool HeapIndexReader::Open(const std::string& path, const SourceStamp& source, bool checkPath) {
    file = File::TryOpen(path);
    if (!file) return false;
    setvbuf(file.Get(), nullptr, _IOFBF, 1 << 16);
    Header header;
    uint64_t headerBytes = 0;
    if (!CheckHeader(file.Get(), source, checkPath, &header, &headerBytes)) {
        file.Close();
        return false;
    }
    graphBytes = header.graphBytes;
    graphHash = header.graphHash;
    treeBytes = header.treeBytes;
    treeHash = header.treeHash;
    detailsBytes = header.detailsBytes;
    detailsHash = header.detailsHash;
    treeOffset = headerBytes + graphBytes;
    return true;
}

bool HeapIndexReader::ReadDetails(const std::function<void(IndexIn&)>& read) {
    if (!file || detailsBytes == 0 || fseeko(file.Get(), static_cast<off_t>(treeOffset + treeBytes), SEEK_SET) != 0)
        return false;
    std::string stored;
    if (!ReadSection(file.Get(), detailsBytes, detailsHash, &stored)) return false;
    IndexIn in(stored);
    read(in);
    return in.Whole();
}

bool AppendIndexDetails(const std::string& path, const SourceStamp& source, bool checkPath,
                        const std::function<void(IndexOut&)>& write) {
    File file = File::TryOpen(path, "r+b");
    Header header;
    uint64_t headerBytes = 0;
    if (!file || !CheckHeader(file.Get(), source, checkPath, &header, &headerBytes) || header.detailsBytes != 0 ||
        fseeko(file.Get(), 0, SEEK_END) != 0)
        return false;
    std::function<bool()> never;
    IndexOut out(file.Get(), never);
    write(out);
    out.End();
    header.detailsBytes = out.bytes;
    header.detailsHash = out.hash.Digest();
    // The header last: until it names the section, the file's length
    // disagrees with it and no reader trusts the index.
    std::string filled = EncodeHeader(header);
    if (out.failed || fflush(file.Get()) != 0 || fseeko(file.Get(), 0, SEEK_SET) != 0 ||
        fwrite(filled.data(), 1, filled.size(), file.Get()) != filled.size())
        return false;
    return fflush(file.Get()) == 0;
}

bool HeapIndexReader::ReadGraph(HeapGraph* graph, IndexProperties* properties) {
    if (!file) return false;
    std::string stored;
    if (!ReadSection(file.Get(), graphBytes, graphHash, &stored)) return false;
    IndexIn in(stored);
    in(*properties, *graph);
    return in.Whole();
}

std::unique_ptr<DominatorTree> HeapIndexReader::ReadTree(const HeapGraph& graph, bool check) {
    if (!file || fseeko(file.Get(), static_cast<off_t>(treeOffset), SEEK_SET) != 0) return nullptr;
    auto tree = std::make_unique<DominatorTree>(graph, DominatorTree::Stored{});
    std::string stored;
    if (!ReadSection(file.Get(), treeBytes, treeHash, &stored)) return nullptr;
    IndexIn in(stored);
    in(*tree);
    // A tree of another node count would index past the graph's arrays.
    if (!in.Whole() || (check && !tree->Consistent())) return nullptr;
    return tree;
}

void WriteHeapIndex(const std::string& path, const SourceStamp& source, const HeapGraph& graph,
                    const DominatorTree& tree, const IndexProperties& properties, const std::function<bool()>& stop) {
    AtomicFile written(path, ".part" + std::to_string(getpid()));
    if (!written.Create())
        throw ClientError(ErrorKind::File, "cannot create " + written.Temporary() + ": " + strerror(errno));
    FILE* file = written.Get();
    setvbuf(file, nullptr, _IOFBF, 1 << 16);
    Header header;
    header.sourceSize = source.size;
    header.sourceModifiedNs = source.modifiedNs;
    header.sourcePath = source.path;
    // The header's room first, filled in once the sections' lengths and hashes are known.
    std::string placeholder = EncodeHeader(header);
    bool ok = fwrite(placeholder.data(), 1, placeholder.size(), file) == placeholder.size();
    IndexOut out(file, stop);
    // Members take non-const references to serve the reader too; writing only reads them.
    out(const_cast<IndexProperties&>(properties), const_cast<HeapGraph&>(graph));
    out.End();
    header.graphBytes = out.bytes;
    header.graphHash = out.hash.Digest();
    out.Begin();
    out(const_cast<DominatorTree&>(tree));
    out.End();
    header.treeBytes = out.bytes;
    header.treeHash = out.hash.Digest();
    if (out.stopped) throw ClientError(ErrorKind::Cancelled, "cancelled");
    std::string filled = EncodeHeader(header);
    ok = ok && !out.failed && fseeko(file, 0, SEEK_SET) == 0 &&
         fwrite(filled.data(), 1, filled.size(), file) == filled.size() && written.Commit();
    if (!ok) throw ClientError(ErrorKind::File, "cannot write " + path + ": " + strerror(errno));
}

}  // namespace vesk
