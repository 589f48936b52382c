#include "HeapDumper.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <process.h>
#else
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "JavaCalls.h"
#include "JniScope.h"
#include "JvmAgent.h"
#include "TempFiles.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

constexpr const char* DUMP_NAME = "heap.hprof";

// The directory of the dump in progress; guarded by the agent monitor.
std::string activeDirectory;

// Holds the agent monitor when there is an agent (unit tests have none).
class OptionalMonitorLock {
public:
    OptionalMonitorLock() {
        if (agent) agent->EnterAgentMonitor();
    }
    ~OptionalMonitorLock() {
        if (agent) agent->ExitAgentMonitor();
    }
    OptionalMonitorLock(const OptionalMonitorLock&) = delete;
    OptionalMonitorLock& operator=(const OptionalMonitorLock&) = delete;
};

// Removes path's files (the dump holds no subdirectories) and path itself.
void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    if (DIR* dir = opendir(path.c_str())) {
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(path + fileSep + entry->d_name);
        }
        closedir(dir);
        for (const std::string& name : names)
            if (remove(name.c_str()) != 0 && errno != ENOENT)
                VeskLogger::LogError(false, "Cannot remove heap dump file %s, errno=%d (%s)", name.c_str(),
                                     errno, strerror(errno));
    }
    if (rmdir(path.c_str()) != 0 && errno != ENOENT)
        VeskLogger::LogError(false, "Cannot remove heap dump directory %s, errno=%d (%s)", path.c_str(), errno,
                             strerror(errno));
}

// A new directory of mode 0700 under base, VESKDUMP_<pid>_XXXXXX: the pid
// tells whose a directory is that a killed JVM left behind. Empty on failure
// (errno set).
std::string MakePrivateDirectory(const std::string& base) {
    std::string path = base;
    if (!path.empty() && path.back() != fileSep && path.back() != '/') path += fileSep;
    path += "VESKDUMP_" + std::to_string(getpid()) + "_XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
#ifdef _WIN32
    // No mkdtemp: a fresh name from mkstemp, then a directory of that name,
    // which _mkdir refuses to create when another took the name meanwhile.
    for (int attempt = 0; attempt < 16; attempt++) {
        std::vector<char> candidate = name;
        int fd = mkstemp(candidate.data());
        if (fd < 0) return std::string();
        _close(fd);
        _unlink(candidate.data());
        if (_mkdir(candidate.data()) == 0) return candidate.data();
    }
    return std::string();
#else
    return mkdtemp(name.data()) ? std::string(name.data()) : std::string();
#endif
}

// /dev/shm when it is there, writable and has room for a dump of usedHeap.
bool MemoryFileSystemFits(int64_t usedHeap) {
#ifdef _WIN32
    (void)usedHeap;
    return false;
#else
    struct statvfs stats;
    if (access("/dev/shm", W_OK) != 0 || statvfs("/dev/shm", &stats) != 0) return false;
    return static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize >= static_cast<uint64_t>(usedHeap);
#endif
}

// Clears a pending Java exception into error as its toString(); true if one was pending.
bool TakeException(JNIEnv* jni, const char* call, std::string& error) {
    if (!jni->ExceptionCheck()) return false;
    jthrowable exception = jni->ExceptionOccurred();
    jni->ExceptionClear();
    error = std::string(call) + " failed";
    jclass throwable = jni->FindClass("java/lang/Throwable");
    jmethodID toString = throwable ? jni->GetMethodID(throwable, "toString", "()Ljava/lang/String;") : nullptr;
    jstring text = toString && exception ? static_cast<jstring>(jni->CallObjectMethod(exception, toString)) : nullptr;
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    if (text) {
        if (const char* chars = jni->GetStringUTFChars(text, nullptr)) {
            error += ": ";
            error += chars;
            jni->ReleaseStringUTFChars(text, chars);
        }
    }
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    VeskLogger::LogError(false, "%s", error.c_str());
    return true;
}

// A JNI call that threw or returned nothing; error says which.
bool Failed(JNIEnv* jni, const void* result, const char* call, std::string& error) {
    if (TakeException(jni, call, error)) return true;
    if (result) return false;
    error = std::string(call) + " returned nothing";
    VeskLogger::LogError(false, "%s", error.c_str());
    return true;
}

}  // namespace

HeapDumper::~HeapDumper() { Remove(); }

bool HeapDumper::CreateDirectory(int64_t usedHeap, std::string& error) {
    std::string bases[2] = {"/dev/shm", TempFiles::Directory()};
    for (const std::string& base : bases) {
        if (base == "/dev/shm" && !MemoryFileSystemFits(usedHeap)) continue;
        OptionalMonitorLock lock;
        std::string made = MakePrivateDirectory(base);
        if (made.empty()) {
            int code = errno;
            error = "Cannot create heap dump directory in " + base + ": " + strerror(code);
            VeskLogger::LogError(false, "%s", error.c_str());
            continue;
        }
        directory = activeDirectory = made;
        dumpPath = directory + fileSep + DUMP_NAME;
        VeskLogger::LogDebug("Heap dump directory %s", directory.c_str());
        return true;
    }
    return false;
}

bool HeapDumper::Dump(JNIEnv* jni, std::string& error) {
    LocalFrame frame(jni, 8);
    if (!frame.Pushed()) {
        error = "Out of JNI local references";
        return false;
    }
    jclass factory = jni->FindClass("java/lang/management/ManagementFactory");
    if (Failed(jni, factory, "FindClass(ManagementFactory)", error)) return false;
    jclass beanClass = jni->FindClass("com/sun/management/HotSpotDiagnosticMXBean");
    if (Failed(jni, beanClass, "FindClass(HotSpotDiagnosticMXBean)", error)) return false;
    jmethodID getBean = jni->GetStaticMethodID(factory, "getPlatformMXBean",
                                               "(Ljava/lang/Class;)Ljava/lang/management/PlatformManagedObject;");
    if (Failed(jni, getBean, "GetStaticMethodID(getPlatformMXBean)", error)) return false;
    jobject bean = jni->CallStaticObjectMethod(factory, getBean, beanClass);
    if (Failed(jni, bean, "getPlatformMXBean(HotSpotDiagnosticMXBean)", error)) return false;
    jmethodID dumpHeap = jni->GetMethodID(beanClass, "dumpHeap", "(Ljava/lang/String;Z)V");
    if (Failed(jni, dumpHeap, "GetMethodID(dumpHeap)", error)) return false;
    jstring path = jni->NewStringUTF(dumpPath.c_str());
    if (Failed(jni, path, "NewStringUTF", error)) return false;
    auto start = std::chrono::steady_clock::now();
    jni->CallVoidMethod(bean, dumpHeap, path, JNI_TRUE);
    dumpMillis = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                     .count();
    return !TakeException(jni, "dumpHeap", error);
}

void HeapDumper::Remove() {
    if (directory.empty()) return;
    OptionalMonitorLock lock;
    RemoveTree(directory);
    if (activeDirectory == directory) activeDirectory.clear();
    directory.clear();
}

int64_t HeapDumper::UsedHeap(JNIEnv* jni) {
    LocalFrame frame(jni, 4);
    RuntimeMethods methods;
    HeapTotals totals;
    if (!frame.Pushed() || !JavaCalls::FindRuntimeMethods(jni, methods) || !methods.totalMemory ||
        !methods.freeMemory || !JavaCalls::ReadHeapTotals(jni, methods, totals))
        return 0;
    return totals.total - totals.free;
}

void HeapDumper::RemoveActive() {
    OptionalMonitorLock lock;
    RemoveTree(activeDirectory);
    activeDirectory.clear();
}

}  // namespace Orlo
