#include "OrloUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "JniScope.h"
#include "JvmAgent.h"
#include "Orlo.h"
#include "VeskProtocol.h"

namespace Orlo {

namespace {

struct CodeName {
    int code;
    const char* name;
};

const CodeName jvmtiErrors[] = {
    {0, "JVMTI_ERROR_NONE"},
    {10, "JVMTI_ERROR_INVALID_THREAD"},
    {11, "JVMTI_ERROR_INVALID_THREAD_GROUP"},
    {13, "JVMTI_ERROR_THREAD_NOT_SUSPENDED"},
    {14, "JVMTI_ERROR_THREAD_SUSPENDED"},
    {15, "JVMTI_ERROR_THREAD_NOT_ALIVE"},
    {20, "JVMTI_ERROR_INVALID_OBJECT"},
    {21, "JVMTI_ERROR_INVALID_CLASS"},
    {22, "JVMTI_ERROR_CLASS_NOT_PREPARED"},
    {23, "JVMTI_ERROR_INVALID_METHODID"},
    {24, "JVMTI_ERROR_INVALID_LOCATION"},
    {25, "JVMTI_ERROR_INVALID_FIELDID"},
    {31, "JVMTI_ERROR_NO_MORE_FRAMES"},
    {32, "JVMTI_ERROR_OPAQUE_FRAME"},
    {34, "JVMTI_ERROR_TYPE_MISMATCH"},
    {35, "JVMTI_ERROR_INVALID_SLOT"},
    {40, "JVMTI_ERROR_DUPLICATE"},
    {41, "JVMTI_ERROR_NOT_FOUND"},
    {50, "JVMTI_ERROR_INVALID_MONITOR"},
    {51, "JVMTI_ERROR_NOT_MONITOR_OWNER"},
    {52, "JVMTI_ERROR_INTERRUPT"},
    {60, "JVMTI_ERROR_INVALID_CLASS_FORMAT"},
    {61, "JVMTI_ERROR_CIRCULAR_CLASS_DEFINITION"},
    {62, "JVMTI_ERROR_FAILS_VERIFICATION"},
    {63, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_ADDED"},
    {64, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_SCHEMA_CHANGED"},
    {65, "JVMTI_ERROR_INVALID_TYPESTATE"},
    {66, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_HIERARCHY_CHANGED"},
    {67, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_DELETED"},
    {68, "JVMTI_ERROR_UNSUPPORTED_VERSION"},
    {69, "JVMTI_ERROR_NAMES_DONT_MATCH"},
    {70, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_CLASS_MODIFIERS_CHANGED"},
    {71, "JVMTI_ERROR_UNSUPPORTED_REDEFINITION_METHOD_MODIFIERS_CHANGED"},
    {79, "JVMTI_ERROR_UNMODIFIABLE_CLASS"},
    {98, "JVMTI_ERROR_NOT_AVAILABLE"},
    {99, "JVMTI_ERROR_MUST_POSSESS_CAPABILITY"},
    {100, "JVMTI_ERROR_NULL_POINTER"},
    {101, "JVMTI_ERROR_ABSENT_INFORMATION"},
    {102, "JVMTI_ERROR_INVALID_EVENT_TYPE"},
    {103, "JVMTI_ERROR_ILLEGAL_ARGUMENT"},
    {104, "JVMTI_ERROR_NATIVE_METHOD"},
    {106, "JVMTI_ERROR_CLASS_LOADER_UNSUPPORTED"},
    {110, "JVMTI_ERROR_OUT_OF_MEMORY"},
    {111, "JVMTI_ERROR_ACCESS_DENIED"},
    {112, "JVMTI_ERROR_WRONG_PHASE"},
    {113, "JVMTI_ERROR_INTERNAL"},
    {115, "JVMTI_ERROR_UNATTACHED_THREAD"},
    {116, "JVMTI_ERROR_INVALID_ENVIRONMENT"},
};

const CodeName jniErrors[] = {
    {0, "JNI_OK"},        {-1, "JNI_ERR"},    {-2, "JNI_EDETACHED"}, {-3, "JNI_EVERSION"},
    {-4, "JNI_ENOMEM"},   {-5, "JNI_EEXIST"}, {-6, "JNI_EINVAL"},
};

const CodeName threadStates[] = {
    {0x0001, "ALIVE"},
    {0x0002, "TERMINATED"},
    {0x0004, "RUNNABLE"},
    {0x0400, "BLOCKED_ON_MONITOR_ENTER"},
    {0x0080, "WAITING"},
    {0x0010, "WAITING_INDEFINITELY"},
    {0x0020, "WAITING_WITH_TIMEOUT"},
    {0x0040, "SLEEPING"},
    {0x0100, "IN_OBJECT_WAIT"},
    {0x0200, "PARKED"},
    {0x100000, "SUSPENDED"},
    {0x200000, "INTERRUPTED"},
    {0x400000, "IN_NATIVE"},
    {0x10000000, "VENDOR_1"},
    {0x20000000, "VENDOR_2"},
    {0x40000000, "VENDOR_3"},
};

const CodeName referenceKinds[] = {
    {1, "CLASS"},          {2, "FIELD"},         {3, "ARRAY_ELEMENT"},
    {4, "CLASS_LOADER"},   {5, "SIGNERS"},       {6, "PROTECTION_DOMAIN"},
    {7, "INTERFACE"},      {8, "STATIC_FIELD"},  {9, "CONSTANT_POOL"},
    {10, "SUPERCLASS"},    {21, "JNI_GLOBAL"},   {22, "SYSTEM_CLASS"},
    {23, "MONITOR"},       {24, "STACK_LOCAL"},  {25, "JNI_LOCAL"},
    {26, "THREAD"},        {27, "OTHER"},
};

const CodeName commands[] = {
    {CMD_RUNTIME, Protocol::CMD_RUNTIME},
    {CMD_SYSTEM_PROPS, Protocol::CMD_SYSTEM_PROPS},
    {CMD_SNAPSHOT, Protocol::CMD_SNAPSHOT},
    {CMD_HEAPDUMP, Protocol::CMD_HEAPDUMP},
    {CMD_PERFORM_GC, Protocol::CMD_PERFORM_GC},
    {CMD_AUTH, Protocol::CMD_AUTH},
    {CMD_HISTOGRAM, Protocol::CMD_HISTOGRAM},
    {CMD_VERSION, Protocol::CMD_VERSION},
    {CMD_DUMPS, Protocol::CMD_DUMPS},
};

template <size_t N>
const char* Lookup(const CodeName (&table)[N], int code) {
    for (const CodeName& entry : table)
        if (entry.code == code) return entry.name;
    return nullptr;
}

const char* const UNKNOWN = "<UNKNOWN_ERROR_CODE>";

std::string& AppendCode(std::string& out, int code) {
    char suffix[16];
    snprintf(suffix, sizeof suffix, "(%d)", code);
    return out += suffix;
}

void DotsForSlashes(std::string& text) {
    std::replace_if(text.begin(), text.end(), StringCharPredicate('/'), '.');
}

}  // namespace

std::string& OrloUtils::FormatJvmtiError(jvmtiError err, std::string& out) {
    out.clear();
    // Freeing the name may fail and be reported through here again: that
    // inner report takes its name from the table, or it would never end.
    static thread_local bool naming = false;
    jvmtiEnv* jvmti = agent && !naming ? agent->GetJvmtiEnv() : nullptr;
    if (jvmti) {
        struct Naming {
            Naming() { naming = true; }
            ~Naming() { naming = false; }
        } scope;
        JvmtiMemory<char> name(jvmti);  // freed inside the scope
        if (jvmti->GetErrorName(err, name.Out()) == JVMTI_ERROR_NONE && name.Get()) out = name.Get();
    }
    if (out.empty()) {
        const char* known = Lookup(jvmtiErrors, err);
        out = known ? known : UNKNOWN;
    }
    return AppendCode(out, err);
}

std::string& OrloUtils::FormatJniError(int err, std::string& out) {
    const char* known = Lookup(jniErrors, err);
    out = known ? known : UNKNOWN;
    return AppendCode(out, err);
}

std::string& OrloUtils::FormatThreadState(int state, std::string& out) {
    out.clear();
    if (state == 0) return out = "NOT_STARTED";
    for (const CodeName& bit : threadStates) {
        if (!(state & bit.code)) continue;
        if (!out.empty()) out += '+';
        out += bit.name;
    }
    return out;
}

std::string& OrloUtils::FormatHeapReference(jvmtiHeapReferenceKind kind, std::string& out) {
    const char* known = Lookup(referenceKinds, kind);
    return out = known ? known : std::to_string(static_cast<int>(kind));
}

std::string& OrloUtils::DeriveTypeFromJvmSignature(const char* signature, std::string& out) {
    out.clear();
    if (!signature) return out;
    switch (signature[0]) {
        case 'B': return out = "byte";
        case 'C': return out = "char";
        case 'D': return out = "double";
        case 'E': return out = "enum";
        case 'F': return out = "float";
        case 'I': return out = "int";
        case 'J': return out = "long";
        case 'S': return out = "short";
        case 'V': return out = "void";
        case 'Z': return out = "boolean";
        case 'L': {
            out = signature + 1;
            size_t semicolon = out.rfind(';');
            if (semicolon != std::string::npos) out.erase(semicolon);
            break;
        }
        case '[':
            DeriveTypeFromJvmSignature(signature + 1, out);
            out += "[]";
            break;
        default:
            out = signature;
    }
    DotsForSlashes(out);
    return out;
}

int OrloUtils::MapCommandTypeString(const char* name) {
    for (const CodeName& command : commands)
        if (name && strcmp(name, command.name) == 0) return command.code;
    return CMD_UNKNOWN;
}

}  // namespace Orlo
