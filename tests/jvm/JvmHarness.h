// The JVM that the in-process tests share, created by JvmHarnessMain.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <map>
#include <string>
#include <vector>

#include "BufferText.h"

namespace vesktest {

JavaVM* HarnessVm();
JNIEnv* HarnessJni();
// The agent's own JVMTI environment.
jvmtiEnv* HarnessJvmti();

// One empty XML element of the snapshot output: name and attributes.
struct Record {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::vector<Record> children;
    const std::string& operator[](const std::string& key) const;
    bool Has(const std::string& key) const { return attrs.count(key) != 0; }
};
// Parses a sequence of top-level elements; fails the test on bad XML.
std::vector<Record> ParseRecords(const std::string& text);

}  // namespace vesktest
