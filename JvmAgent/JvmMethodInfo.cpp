#include "JvmMethodInfo.h"

#include <cinttypes>

#include "JniScope.h"
#include "JvmAgent.h"
#include "JvmObjectInfo.h"
#include "Orlo.h"
#include "StringBuffer.h"
#include "VeskLogger.h"
#include "XmlUtils.h"

namespace Orlo {

namespace {

// A local variable table with the three strings of each entry, all handed
// back to the JVM together.
class LocalVariableTable {
public:
    explicit LocalVariableTable(jvmtiEnv* jvmti) : jvmti(jvmti), entries(jvmti) {}
    ~LocalVariableTable() {
        for (jint i = 0; i < count; i++) {
            JvmtiMemory<char> name(jvmti, entries[i].name), signature(jvmti, entries[i].signature),
                generic(jvmti, entries[i].generic_signature);
        }
    }
    LocalVariableTable(const LocalVariableTable&) = delete;
    LocalVariableTable& operator=(const LocalVariableTable&) = delete;

    bool Read(jmethodID method) {
        return jvmti->GetLocalVariableTable(method, &count, entries.Out()) == JVMTI_ERROR_NONE;
    }
    jint Count() const { return count; }
    const jvmtiLocalVariableEntry& operator[](jint index) const { return entries[index]; }

private:
    jvmtiEnv* jvmti;
    jint count = 0;
    JvmtiMemory<jvmtiLocalVariableEntry> entries;
};

}  // namespace

void JvmMethodInfo::LoadLocalVars() {
    jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr;
    if (!jvmti) return;
    LocalVariableTable table(jvmti);
    // Without can_access_local_variables this fails; the list stays empty.
    if (!table.Read(jvmId) || table.Count() <= 0) return;
    localVars.resize(table.Count());
    for (jint i = 0; i < table.Count(); i++) {
        JvmMethodLocalVarInfo& var = localVars[i];
        if (table[i].name) var.SetName(table[i].name);
        if (table[i].signature) var.SetSignature(table[i].signature);
        var.SetJvmSlot(table[i].slot);
        var.SetMethod(this);
    }
}

const char* JvmMethodInfo::GetVarName(int slot) const {
    for (const JvmMethodLocalVarInfo& var : localVars)
        if (var.GetJvmSlot() == slot) return var.GetName().c_str();
    return nullptr;
}

int64_t JvmMethodInfo::RecordAsXml(StringBuffer& buffer) const {
    buffer.Format("<mthd mthdtag=\"%" PRIx64 "\" name=\"",
                  static_cast<uint64_t>(reinterpret_cast<uintptr_t>(jvmId)));
    XmlUtils::EncodeXmlString(buffer, name);
    buffer.Append("\" sig=\"");
    XmlUtils::EncodeXmlString(buffer, signature);
    buffer.Append("\"");
    if (localVars.empty()) {
        buffer.Append("/>");
        return 1;
    }
    buffer.Format(" lvars=\"%d\">", static_cast<int>(localVars.size()));
    int64_t records = 1;
    for (const JvmMethodLocalVarInfo& var : localVars) records += var.RecordAsXml(buffer);
    buffer.Append("</mthd>");
    return records;
}

std::string& JvmMethodInfo::ToString(std::string& out) const {
    jint maxLocals = -1;
    jint argSize = -1;
    if (jvmtiEnv* jvmti = agent ? agent->GetJvmtiEnv() : nullptr) {
        jvmti->GetMaxLocals(jvmId, &maxLocals);
        jvmti->GetArgumentsSize(jvmId, &argSize);
    }
    out = "METHOD: id=";
    JvmObjectInfo::AppendPointer(out, jvmId);
    out += ", name=";
    out += name;
    out += ", sig=";
    out += signature;
    out += ", maxLocals=";
    out += std::to_string(maxLocals);
    out += ", argSize=";
    out += std::to_string(argSize);
    return out;
}

void JvmMethodInfo::PrintHierarchy(int depth) const {
    std::string text;
    VeskLogger::LogTrace("%*s%s", 2 * depth, "", ToString(text).c_str());
    for (const JvmMethodLocalVarInfo& var : localVars)
        VeskLogger::LogTrace("%*s%s", 2 * depth + 2, "", var.ToString(text).c_str());
}

}  // namespace Orlo
