#include "JvmObjectInfo.h"

#include <cstdio>

namespace Orlo {

const char* JvmObjectInfo::GetTypeName(JvmObjectType type) {
    switch (type) {
    case JVM_OBJ_INVALID: return "JVM_OBJ_INVALID";
    case JVM_OBJ_CLASS: return "JVM_OBJ_CLASS";
    case JVM_OBJ_INTERFACE: return "JVM_OBJ_INTERFACE";
    case JVM_OBJ_THREAD: return "JVM_OBJ_THREAD";
    }
    return "<UNKNOWN>";
}

std::string& JvmObjectInfo::ToString(std::string& out) const {
    out = GetTypeName(type);
    out += ": tag=";
    return AppendPointer(out, this);
}

std::string& JvmObjectInfo::AppendPointer(std::string& out, const void* pointer) {
    char text[32];
    snprintf(text, sizeof text, "%p", pointer);
    return out += text;
}

}  // namespace Orlo
