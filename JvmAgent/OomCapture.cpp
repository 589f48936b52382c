#include "OomCapture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <stdexcept>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <direct.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "AuthKey.h"
#include "FrameCompressor.h"
#include "HeapDumper.h"
#include "HprofRedactor.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "TempFiles.h"
#include "TimeStamp.h"
#include "VeskLogger.h"
#include "VeskProtocol.h"

namespace Orlo {

namespace {

constexpr const char* SUFFIX = ".hprof.zst";

int64_t SteadyMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double Mib(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// Bytes an unprivileged writer may still put on path's file system; 0 when unknown.
uint64_t FreeBytes(const std::string& path) {
#ifdef _WIN32
    ULARGE_INTEGER available;
    return GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr) ? available.QuadPart : 0;
#else
    struct statvfs stats;
    if (statvfs(path.c_str(), &stats) != 0) return 0;
    return static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize;
#endif
}

#ifndef _WIN32
bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 || errno != ENOENT;
}
#endif

bool MakeDirectory(const std::string& path) {
#ifdef _WIN32
    return _mkdir(path.c_str()) == 0;
#else
    return mkdir(path.c_str(), 0700) == 0;
#endif
}

// path and its missing parents, each made 0700.
Error MakeDirectories(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) return Error(path + " is not a directory");
        return Error();
    }
    size_t slash = path.find_last_of("/\\");
    if (slash != std::string::npos && slash > 0) {
        if (Error error = MakeDirectories(path.substr(0, slash))) return error;
    }
    if (!MakeDirectory(path) && errno != EEXIST) return Error::Format("cannot create %s: %s", path.c_str(), strerror(errno));
    return Error();
}

// <pid>-<UTC date and time to the millisecond>, e.g. 4711-20261209T232329.123Z.
std::string CaptureName(int64_t epochMillis) {
    time_t seconds = static_cast<time_t>(epochMillis / 1000);
    struct tm utc;
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    snprintf(text, sizeof text, "%d-%04d%02d%02dT%02d%02d%02d.%03dZ", static_cast<int>(getpid()), utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(epochMillis % 1000));
    return text;
}

// A new file for the owner alone; null with errno set when the name is taken.
UniqueFile CreatePrivate(const std::string& path) {
#ifdef _WIN32
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return UniqueFile(fd < 0 ? nullptr : _fdopen(fd, "wb"));
#else
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    UniqueFile file(fdopen(fd, "w"));
    if (!file) close(fd);
    return file;
#endif
}

// Renames without replacing: false with errno EEXIST when target is taken.
bool RenameNew(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return rename(from.c_str(), to.c_str()) == 0;  // never replaces on Windows
#else
    if (link(from.c_str(), to.c_str()) == 0) {
        unlink(from.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    // A file system without hard links: rename, once the name is seen free.
    if (Exists(to)) {
        errno = EEXIST;
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Writes bytes to a file; a failed write throws, naming the file.
class FileOutput : public HprofSink {
public:
    FileOutput(FILE* file, const std::string& path) : file(file), path(path) {}
    void Write(const uint8_t* data, size_t length) override {
        if (fwrite(data, 1, length, file) != length)
            throw std::runtime_error("cannot write " + path + ": " + strerror(errno));
        bytes += length;
    }
    uint64_t Bytes() const { return bytes; }

private:
    FILE* file;
    const std::string& path;
    uint64_t bytes = 0;
};

// Plain HPROF in, out as one zstd frame per FRAME_DUMP_BYTES: the frames
// HEAPDUMP sends, so that a kept file goes out as it is.
class FramedZstdOutput : public HprofSink {
public:
    FramedZstdOutput(FileOutput& out, int level) : out(out), compressor(level) {}
    void Write(const uint8_t* data, size_t length) override {
        while (length > 0) {
            if (!open) {
                compressor.Begin(out);
                open = true;
                frameBytes = 0;
            }
            size_t take = static_cast<size_t>(std::min<uint64_t>(length, Protocol::FRAME_DUMP_BYTES - frameBytes));
            compressor.Add(data, take);
            frameBytes += take;
            data += take;
            length -= take;
            if (frameBytes == Protocol::FRAME_DUMP_BYTES) Finish();
        }
    }
    void Finish() {
        if (open) compressor.End();
        open = false;
    }

private:
    FileOutput& out;
    FrameCompressor compressor;
    bool open = false;
    uint64_t frameBytes = 0;
};

}  // namespace

OomCapture::OomCapture(const std::string& directory, int count, uint64_t minFree)
    : directory(directory), count(count), minFree(minFree) {}

// The global references go with the process: the JVM may be gone by now.
OomCapture::~OomCapture() = default;

Error OomCapture::Arm(jvmtiEnv* env, JNIEnv* jni) {
    jvmti = env;
    if (!jni) return Error("no JNI environment");
    if (Error error = MakeDirectories(directory)) return error;
    if (Error error = JvmManagement::FindDumpHeap(jvmti, jni, dump)) return error;
    // From Java 21 the JVM writes its dump in segments, then joins them: twice the room for a while.
    dumpCopies = JvmManagement::JavaRelease(jvmti) >= 21 ? 2 : 1;
    LocalFrame frame(jni, 8);
    if (!frame.Pushed() || !JavaCalls::FindRuntimeMethods(jni, runtime))
        return Error("java.lang.Runtime's methods not found");
    runtime.runtimeClass = static_cast<jclass>(jni->NewGlobalRef(runtime.runtimeClass));
    // Named unguessably: the directory is made at the capture, and a name
    // someone made first makes it fail rather than write into theirs.
    uint8_t random[6];
    if (!AuthKey::RandomBytes(random, sizeof random)) return Error("no random bytes for the dump's directory name");
    std::string name = "VESKOOM_" + std::to_string(getpid()) + "_" + AuthKey::ToHex(random, sizeof random);
    std::string temp = TempFiles::Directory();
    if (temp.back() != fileSep && temp.back() != '/') temp += fileSep;
    diskDirectory = temp + name;
#ifndef _WIN32
    memoryDirectory = "/dev/shm/" + name;
#endif
    for (auto [dir, path] : {std::make_pair(&diskDirectory, &diskPath), std::make_pair(&memoryDirectory, &memoryPath)}) {
        if (dir->empty()) continue;
        jstring local = jni->NewStringUTF(HeapDumper::DumpPathIn(*dir).c_str());
        *path = local ? static_cast<jstring>(jni->NewGlobalRef(local)) : nullptr;
        if (!*path || jni->ExceptionCheck()) {
            jni->ExceptionClear();
            return Error("no room for the dump's path");
        }
    }
    // Without it the capture still works, as the JVM's own dump would.
    if (!ClassFieldValues::PrepareDumpHolder(jvmti, jni, holder))
        VeskLogger::LogInfo("oom-dump: no holder for the class objects' own fields; captures go without them");
    armed = runtime.runtimeClass != nullptr;
    return armed ? Error() : Error("no global reference to java.lang.Runtime");
}

void OomCapture::OnResourceExhausted(JNIEnv* jni, jint flags, const char* description) {
    if (!armed || !(flags & JVMTI_RESOURCE_EXHAUSTED_JAVA_HEAP)) return;
    uint64_t seen = ++events;
    TimeStamp now;
    now.Now();
    bool idle = false;
    const char* skipped = nullptr;
    if (!capturing.compare_exchange_strong(idle, true)) {
        skipped = "a capture is running";
    } else if (attempts >= count) {
        capturing = false;
        skipped = "oom-dump-count reached";
    }
    if (skipped) {
        if (!skipReported.exchange(true))
            VeskLogger::LogInfo("OutOfMemoryError %" PRIu64 " not captured (%s); later ones are only counted", seen,
                                skipped);
        return;
    }
    attempts++;
    if (Error error = Capture(jni, description ? description : "", now.Millis()))
        VeskLogger::LogError(false, "OutOfMemoryError heap not captured: %s", error.What());
    capturing = false;
}

Error OomCapture::Capture(JNIEnv* jni, const char* description, int64_t startMillis) {
    int64_t startSteady = SteadyMillis();
    HeapTotals totals;
    int64_t used = JavaCalls::ReadHeapTotals(jni, runtime, totals) ? totals.total - totals.free : 0;
    if (used < 0) used = 0;
    uint64_t estimate = static_cast<uint64_t>(used) / 8;
    uint64_t available = FreeBytes(directory);
    if (available < minFree + estimate)
        return Error::Format("%s has %.1f MiB free, %.1f MiB needed (oom-dump-min-free %.1f MiB plus %.1f MiB, an "
                             "eighth of the %.1f MiB heap in use)",
                             directory.c_str(), Mib(available), Mib(minFree + estimate), Mib(minFree), Mib(estimate),
                             Mib(static_cast<uint64_t>(used)));
    const int64_t room = used * dumpCopies;
    bool inMemory = memoryPath && HeapDumper::MemoryFileSystemFits(room);
    if (!inMemory && FreeBytes(TempFiles::Directory()) < static_cast<uint64_t>(room))
        return Error::Format("no room for the JVM's dump of the %.1f MiB heap in use (%.1f MiB), neither in /dev/shm "
                             "nor in %s",
                             Mib(static_cast<uint64_t>(used)), Mib(static_cast<uint64_t>(room)),
                             TempFiles::Directory().c_str());

    HeapDumper dumper;
    Error error = agent->ExclusivePause([&](JNIEnv* env) {
        if (Error made = dumper.MakeDirectoryAt(inMemory ? memoryDirectory : diskDirectory)) return made;
        bool held = ClassFieldValues::FillDumpHolder(jvmti, env, holder);
        dumper.SetHolderLength(held ? static_cast<uint32_t>(holder.length) : 0);
        Error dumped = dumper.DumpWithoutAllocating(jvmti, env, dump, inMemory ? memoryPath : diskPath);
        ClassFieldValues::ClearDumpHolder(env, holder);
        return dumped;
    });
    if (error) return error;
    KeptDump record;
    record.timeMillis = startMillis;
    record.message = description;
    record.dumpMillis = dumper.DumpMillis();
    int64_t redactStart = SteadyMillis();
    error = WriteKept(dumper.DumpPath(), dumper.HolderLength(), record);
    dumper.Remove();
    if (error) return error;
    record.redactMillis = SteadyMillis() - redactStart;
    VeskLogger::LogInfo("OutOfMemoryError heap captured to %s%c%s: %.1f MiB (heap in use %.1f MiB, HPROF %.1f MiB, "
                        "redacted %.1f MiB), dump %" PRId64 " ms, redaction and compression %" PRId64 " ms, %" PRId64
                        " ms from the error",
                        directory.c_str(), fileSep, record.name.c_str(), Mib(record.fileBytes),
                        Mib(static_cast<uint64_t>(used)), Mib(record.hprofBytes), Mib(record.dumpBytes),
                        record.dumpMillis, record.redactMillis, SteadyMillis() - startSteady);
    std::lock_guard<std::mutex> guard(keptLock);
    kept.push_back(std::move(record));
    return Error();
}

Error OomCapture::WriteKept(const std::string& dumpPath, uint32_t holderLength, KeptDump& record) {
    std::string base = CaptureName(record.timeMillis);
    std::string partPath = directory + fileSep + "." + base + ".part";
    UniqueFile file = CreatePrivate(partPath);
    if (!file) return Error::Format("cannot create %s: %s", partPath.c_str(), strerror(errno));
    if (!TempFiles::Adopt(partPath)) return Error("no memory to list " + partPath);
    Error error;
    try {
        FileOutput output(file.get(), partPath);
        int level = agent->GetCompressLevel() > 0 ? agent->GetCompressLevel() : FrameCompressor::DEFAULT_LEVEL;
        FramedZstdOutput framed(output, level);
        HprofRedactor redactor(framed, holderLength);
        error = redactor.Redact(dumpPath.c_str());
        if (!error) {
            framed.Finish();
            if (fflush(file.get()) != 0) throw std::runtime_error("cannot write " + partPath + ": " + strerror(errno));
#ifndef _WIN32
            fsync(fileno(file.get()));
#endif
            record.hprofBytes = redactor.InputBytes();
            record.dumpBytes = redactor.OutputBytes();
            record.fileBytes = output.Bytes();
            VeskLogger::LogDebug("OutOfMemoryError capture: %zu values of class objects' own fields as roots",
                                 redactor.HolderRoots());
        }
    } catch (const std::exception& e) {
        error = Error(e.what());
    }
    if (!error && fclose(file.release()) != 0) error = Error::Format("cannot write %s: %s", partPath.c_str(), strerror(errno));
    if (!error) {
        // Never over another file: the next free name.
        for (int attempt = 1; record.name.empty(); attempt++) {
            std::string name = base + (attempt > 1 ? "-" + std::to_string(attempt) : "") + SUFFIX;
            if (RenameNew(partPath, directory + fileSep + name)) {
                record.name = name;
            } else if (errno != EEXIST || attempt == 100) {
                error = Error::Format("cannot rename %s to %s: %s", partPath.c_str(), name.c_str(), strerror(errno));
                break;
            }
        }
    }
    TempFiles::Remove(partPath);
    return error;
}

std::vector<KeptDump> OomCapture::Kept() const {
    std::lock_guard<std::mutex> guard(keptLock);
    return kept;
}

std::string OomCapture::Find(const std::string& name, KeptDump& record) const {
    std::lock_guard<std::mutex> guard(keptLock);
    for (const KeptDump& dump : kept) {
        if (dump.name != name) continue;
        record = dump;
        return directory + fileSep + name;
    }
    return std::string();
}

}  // namespace Orlo
