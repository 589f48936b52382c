// Base of every description whose address serves as a JVMTI tag: the heap
// walk reads a tag back as a JvmObjectInfo and asks for its kind.
#pragma once

#include <cstdint>
#include <string>

namespace Orlo {

class JvmClassInfo;
class StringBuffer;

enum JvmObjectType : int32_t {
    JVM_OBJ_INVALID = -1,
    JVM_OBJ_CLASS = 0,
    JVM_OBJ_INTERFACE = 1,
    JVM_OBJ_THREAD = 2,
};

class JvmObjectInfo {
public:
    explicit JvmObjectInfo(JvmObjectType type) : type(type) {}
    virtual ~JvmObjectInfo() { type = JVM_OBJ_INVALID; }
    JvmObjectInfo(const JvmObjectInfo&) = delete;
    JvmObjectInfo& operator=(const JvmObjectInfo&) = delete;

    JvmObjectType GetType() const { return type; }
    static const char* GetTypeName(JvmObjectType type);

    // The class the described Java object stands for, if it is one.
    virtual JvmClassInfo* GetClass() { return nullptr; }
    // Appends the snapshot record; returns the number of XML records written.
    virtual int64_t RecordAsXml(StringBuffer&) const { return 0; }
    // Kind and address (the tag), for trace lines.
    virtual std::string& ToString(std::string& out) const;

    // Appends a pointer as trace lines print it.
    static std::string& AppendPointer(std::string& out, const void* pointer);

private:
    JvmObjectType type;
};

}  // namespace Orlo
