// One entry of a method's local variable table.
#pragma once

#include <cstdint>
#include <string>

namespace Orlo {

class JvmMethodInfo;
class StringBuffer;

class JvmMethodLocalVarInfo {
public:
    JvmMethodLocalVarInfo() = default;
    JvmMethodLocalVarInfo(const JvmMethodLocalVarInfo&) = default;
    JvmMethodLocalVarInfo& operator=(const JvmMethodLocalVarInfo&) = default;

    void SetName(const char* value) { name = value; }
    const std::string& GetName() const { return name; }
    void SetSignature(const char* value) { signature = value; }
    const std::string& GetSignature() const { return signature; }
    void SetJvmSlot(int slot) { jvmSlot = slot; }
    int GetJvmSlot() const { return jvmSlot; }
    // The owning method (part of the agent's surface; nothing reads it back).
    void SetMethod(JvmMethodInfo* info) { method = info; }

    int64_t RecordAsXml(StringBuffer& buffer) const;
    std::string& ToString(std::string& out) const;

private:
    std::string name;
    std::string signature;
    int jvmSlot = -1;
    JvmMethodInfo* method = nullptr;
};

}  // namespace Orlo
