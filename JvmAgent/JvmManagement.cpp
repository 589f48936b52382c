#include "JvmManagement.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <string>

#include "JniScope.h"

namespace Orlo {

namespace {

using GetManagementFunction = void*(JNICALL*)(jint version);
using GetVersionFunction = jint(JNICALL*)(JNIEnv* jni);
using ExecuteFunction = jstring(JNICALL*)(JNIEnv* jni, jstring command);

// Where the table keeps what is called, by its version, newest first: a JVM
// hands out its table for its own version only. The slots (HotSpot's jmm.h,
// JmmInterface) are those the JDK's own callers use (its libmanagement_ext),
// seen in JDK 17 and 25: version 4 (JDK 21 on) holds one entry more before
// DumpHeap0 than version 3 (JDK 14 to 20). JDK 11's late version 3 is laid
// out otherwise, hence the lowest Java release per layout; older interfaces
// are not used.
struct Layout {
    jint version;
    int lowestJava;
    int dumpSlot;
    int executeSlot;
};
constexpr Layout LAYOUTS[] = {{0x20040000, 21, 30, 39}, {0x20030000, 14, 29, 38}};
constexpr int GET_VERSION_SLOT = 2;

// A system property of the VM's, empty when unknown.
std::string VmProperty(jvmtiEnv* jvmti, const char* name) {
    JvmtiMemory<char> value(jvmti);
    if (!jvmti || jvmti->GetSystemProperty(name, value.Out()) != JVMTI_ERROR_NONE || !value.Get()) return "";
    return value.Get();
}

// The layouts are HotSpot's: another VM that exports the entry point may lay
// its table out otherwise. HotSpot calls itself "OpenJDK 64-Bit Server VM"
// or "Java HotSpot(TM) ...".
bool IsHotSpot(const std::string& vmName) {
    return vmName.find("HotSpot") != std::string::npos || vmName.rfind("OpenJDK", 0) == 0;
}

GetManagementFunction FindGetManagement(JNIEnv* jni) {
    (void)jni;
#ifdef _WIN32
    HMODULE library = GetModuleHandleA("jvm.dll");
    if (!library) return nullptr;
    // Through the generic function type, which any function pointer may be cast to without a warning.
    return reinterpret_cast<GetManagementFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(library, "JVM_GetManagement")));
#else
    void* found = dlsym(RTLD_DEFAULT, "JVM_GetManagement");
    if (found) return reinterpret_cast<GetManagementFunction>(found);
    // A launcher that loaded the JVM library privately: its handle found
    // through one of its JNI functions.
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(jni->functions->GetVersion), &info) || !info.dli_fname) return nullptr;
    void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) return nullptr;
    found = dlsym(library, "JVM_GetManagement");
    // The JVM keeps its library loaded: the function outlives this handle.
    dlclose(library);
    return reinterpret_cast<GetManagementFunction>(found);
#endif
}

// The JVM's management table, checked against the layout it is read by.
Error FindTable(jvmtiEnv* jvmti, JNIEnv* jni, void* const*& table, const Layout*& layout) {
    if (!jni) return Error("no JNI environment");
    std::string vmName = VmProperty(jvmti, "java.vm.name");
    if (!IsHotSpot(vmName)) return Error("the JVM (" + vmName + ") is not HotSpot");
    GetManagementFunction getManagement = FindGetManagement(jni);
    if (!getManagement) return Error("the JVM exports no JVM_GetManagement");
    table = nullptr;
    layout = nullptr;
    for (const Layout& known : LAYOUTS) {
        table = static_cast<void* const*>(getManagement(known.version));
        if (table) {
            layout = &known;
            break;
        }
    }
    if (!table) return Error("the JVM has no management interface of a known version");
    int release = JvmManagement::JavaRelease(jvmti);
    if (release < layout->lowestJava)
        return Error::Format("management interface %#x of Java %d has an unknown layout",
                             static_cast<unsigned>(layout->version), release);
    auto getVersion = reinterpret_cast<GetVersionFunction>(table[GET_VERSION_SLOT]);
    jint reported = getVersion ? getVersion(jni) : 0;
    if (reported != layout->version)
        return Error::Format("the management interface says version %#x, not %#x", static_cast<unsigned>(reported),
                             static_cast<unsigned>(layout->version));
    return Error();
}

}  // namespace

int JvmManagement::JavaRelease(jvmtiEnv* jvmti) {
    // "17.0.9+9", "25+36-LTS". Java 8's "25.x-b..." misreads, harmlessly: its
    // table has none of the versions above, so no layout is ever taken.
    return atoi(VmProperty(jvmti, "java.vm.version").c_str());
}

Error JvmManagement::FindDumpHeap(jvmtiEnv* jvmti, JNIEnv* jni, DumpHeapFunction& dump) {
    dump = nullptr;
    void* const* table = nullptr;
    const Layout* layout = nullptr;
    if (Error error = FindTable(jvmti, jni, table, layout)) return error;
    dump = reinterpret_cast<DumpHeapFunction>(table[layout->dumpSlot]);
    if (!dump) return Error("the management interface writes no heap dumps");
    return Error();
}

Error JvmManagement::Execute(jvmtiEnv* jvmti, JNIEnv* jni, const char* command, std::string& output) {
    output.clear();
    void* const* table = nullptr;
    const Layout* layout = nullptr;
    if (Error error = FindTable(jvmti, jni, table, layout)) return error;
    auto execute = reinterpret_cast<ExecuteFunction>(table[layout->executeSlot]);
    if (!execute) return Error("the management interface runs no diagnostic commands");
    LocalFrame frame(jni, 4);
    if (!frame.Pushed()) return Error("no JNI local frame");
    jstring line = jni->NewStringUTF(command);
    if (!line || jni->ExceptionCheck()) {
        jni->ExceptionClear();
        return Error("no room for the command's string");
    }
    jstring answer = execute(jni, line);
    if (jni->ExceptionCheck()) {
        jni->ExceptionClear();
        return Error::Format("the command \"%s\" raised a Java exception", command);
    }
    if (!answer) return Error::Format("the command \"%s\" answered nothing", command);
    StringChars text(jni, answer);
    if (!text.Get()) return Error("the command's answer could not be read");
    output = text.Get();
    return Error();
}

}  // namespace Orlo
