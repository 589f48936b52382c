// A fixture JVM that moves from an OLD state to a NEW one once its trigger
// file exists, with the agent on a free port of 127.0.0.1. Taken in each
// state as a snapshot stream and as a vesk dump HPROF file, in its private
// directory (before.vsnap, before.hprof, after.vsnap, after.hprof); killed by
// PID once taken, or when destroyed.
#pragma once

#include <string>

#include "JavaProcess.h"
#include "TempDir.h"

namespace vesktest {

class GrowingJvm {
public:
    // The fixture takes the trigger file's path as its argument and prints
    // "<word> ready" in its OLD state, then "<word> grown" in its NEW one.
    GrowingJvm(const std::string& mainClass, const std::string& word);

    // Empty once all four files are saved; else what failed, with its output.
    std::string Take();
    std::string File(const std::string& name) const { return jvm.Dir().File(name); }
    const TempDir& Dir() const { return jvm.Dir(); }

private:
    std::string Save(const std::string& state);

    std::string word;
    int port;
    TempDir trigger;
    JavaProcess jvm;
};

}  // namespace vesktest
