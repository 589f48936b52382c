// Names for JVMTI/JNI codes, thread states, reference kinds and signatures.
#pragma once

#include <jvmti.h>

#include <string>

namespace Orlo {

// Matches one held character; serves the "/" to "." replacement.
struct StringCharPredicate {
    explicit StringCharPredicate(char c) : held(c) {}
    bool operator()(char c) const { return c == held; }
    char held;
};

enum CommandType : int {
    CMD_UNKNOWN = -1,
    CMD_RUNTIME = 0,
    CMD_SYSTEM_PROPS = 1,
    CMD_SNAPSHOT = 2,
    CMD_PERFORM_GC = 3,
    CMD_HEAPDUMP = 4,
    CMD_AUTH = 5,
    CMD_HISTOGRAM = 6,
    CMD_VERSION = 7,
    CMD_DUMPS = 8,
};

// Each naming operation replaces the content of `out` and returns it.
class OrloUtils {
public:
    // JVMTI's own name when an environment exists, else the built-in table.
    static std::string& FormatJvmtiError(jvmtiError err, std::string& out);
    static std::string& FormatJniError(int err, std::string& out);
    static std::string& FormatThreadState(int state, std::string& out);
    static std::string& FormatHeapReference(jvmtiHeapReferenceKind kind, std::string& out);
    static std::string& DeriveTypeFromJvmSignature(const char* signature, std::string& out);
    // A CommandType; CMD_UNKNOWN for any other name (case-sensitive).
    static int MapCommandTypeString(const char* name);
};

}  // namespace Orlo
