#include "HeapDumper.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef _WIN32
#include <process.h>
#else
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "JavaCalls.h"
#include "JniScope.h"
#include "TempFiles.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

constexpr const char* DUMP_NAME = "heap.hprof";

// Clears a pending Java exception into an error (logged) that names the call
// and gives the exception's toString(); none when nothing was pending.
Error TakeException(JNIEnv* jni, const char* call) {
    if (!jni->ExceptionCheck()) return Error();
    jthrowable exception = jni->ExceptionOccurred();
    jni->ExceptionClear();
    std::string error = std::string(call) + " failed";
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
    return Error(error);
}

// A JNI call that threw or returned nothing (logged); none when it gave a result.
Error Failed(JNIEnv* jni, const void* result, const char* call) {
    if (Error error = TakeException(jni, call)) return error;
    if (result) return Error();
    Error error(std::string(call) + " returned nothing");
    VeskLogger::LogError(false, "%s", error.What());
    return error;
}

}  // namespace

HeapDumper::~HeapDumper() { Remove(); }

bool HeapDumper::MemoryFileSystemFits(int64_t usedHeap) {
#ifdef _WIN32
    (void)usedHeap;
    return false;
#else
    struct statvfs stats;
    if (access("/dev/shm", W_OK) != 0 || statvfs("/dev/shm", &stats) != 0) return false;
    return static_cast<uint64_t>(stats.f_bavail) * stats.f_frsize >= static_cast<uint64_t>(usedHeap);
#endif
}

std::string HeapDumper::DumpPathIn(const std::string& directory) { return directory + fileSep + DUMP_NAME; }

Error HeapDumper::MakeDirectoryAt(const std::string& path) {
    if (!TempFiles::MakeDirectoryAt(path)) {
        int code = errno;
        return Error("Cannot create heap dump directory " + path + ": " + strerror(code));
    }
    directory = path;
    dumpPath = DumpPathIn(directory);
    return Error();
}

Error HeapDumper::DumpWithoutAllocating(jvmtiEnv* jvmti, JNIEnv* jni, JvmManagement::DumpHeapFunction dump,
                                        jstring path) {
    auto start = std::chrono::steady_clock::now();
    dump(jni, path, JNI_FALSE);
    dumpMillis = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                     .count();
    if (!jni->ExceptionCheck()) return Error();
    LocalRef<jthrowable> exception(jni, jni->ExceptionOccurred());
    jni->ExceptionClear();
    std::string name = "an exception";
    LocalRef<jclass> clazz(jni, exception.Get() ? jni->GetObjectClass(exception.Get()) : nullptr);
    JvmtiMemory<char> signature(jvmti);
    if (clazz.Get() && jvmti->GetClassSignature(clazz.Get(), signature.Out(), nullptr) == JVMTI_ERROR_NONE &&
        signature.Get())
        name = signature.Get();
    return Error("The JVM's heap dump raised " + name);
}

Error HeapDumper::MakeDirectory(int64_t usedHeap) {
    Error error;
    for (const std::string& base : {std::string("/dev/shm"), TempFiles::Directory()}) {
        if (base == "/dev/shm" && !MemoryFileSystemFits(usedHeap)) continue;
        // The pid tells whose a directory is that a killed JVM left behind.
        std::string made = TempFiles::MakeDirectory(base, "VESKDUMP_" + std::to_string(getpid()) + "_");
        if (made.empty()) {
            int code = errno;
            error = Error("Cannot create heap dump directory in " + base + ": " + strerror(code));
            VeskLogger::LogError(false, "%s", error.What());
            continue;
        }
        directory = made;
        dumpPath = DumpPathIn(directory);
        VeskLogger::LogDebug("Heap dump directory %s", directory.c_str());
        return Error();
    }
    return error;
}

Error HeapDumper::Dump(JNIEnv* jni) {
    LocalFrame frame(jni, 8);
    if (!frame.Pushed()) return Error("Out of JNI local references");
    jclass factory = jni->FindClass("java/lang/management/ManagementFactory");
    if (Error error = Failed(jni, factory, "FindClass(ManagementFactory)")) return error;
    jclass beanClass = jni->FindClass("com/sun/management/HotSpotDiagnosticMXBean");
    if (Error error = Failed(jni, beanClass, "FindClass(HotSpotDiagnosticMXBean)")) return error;
    jmethodID getBean = jni->GetStaticMethodID(factory, "getPlatformMXBean",
                                               "(Ljava/lang/Class;)Ljava/lang/management/PlatformManagedObject;");
    if (Error error = Failed(jni, getBean, "GetStaticMethodID(getPlatformMXBean)")) return error;
    jobject bean = jni->CallStaticObjectMethod(factory, getBean, beanClass);
    if (Error error = Failed(jni, bean, "getPlatformMXBean(HotSpotDiagnosticMXBean)")) return error;
    jmethodID dumpHeap = jni->GetMethodID(beanClass, "dumpHeap", "(Ljava/lang/String;Z)V");
    if (Error error = Failed(jni, dumpHeap, "GetMethodID(dumpHeap)")) return error;
    jstring path = jni->NewStringUTF(dumpPath.c_str());
    if (Error error = Failed(jni, path, "NewStringUTF")) return error;
    auto start = std::chrono::steady_clock::now();
    jni->CallVoidMethod(bean, dumpHeap, path, JNI_TRUE);
    dumpMillis = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                     .count();
    return TakeException(jni, "dumpHeap");
}

void HeapDumper::Remove() {
    if (directory.empty()) return;
    TempFiles::Remove(directory);
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

}  // namespace Orlo
