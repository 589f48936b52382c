// The JVM's own class histogram, the one jcmd GC.class_histogram prints,
// taken in process (JvmManagement) and read into rows named as a snapshot's
// class records name them. Every object is counted, garbage included: the
// JVM's parallel heap inspection at one safepoint, which nothing can stop
// once begun. Used by the thread serving the request.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CancelCheck.h"
#include "Error.h"
#include "HeapHistogram.h"

namespace Orlo {

class JvmClassHistogram {
public:
    // The command line that counts without collecting first.
    static constexpr const char* COMMAND = "GC.class_histogram -all";

    // cancel, when given, is asked once, before the command.
    explicit JvmClassHistogram(CancelCheck* cancel = nullptr) : cancel(cancel) {}

    // Runs the command and reads its text. An error when it could not run or
    // its text does not read (the caller may count another way), or
    // Protocol::CANCELLED_MESSAGE when cancelled before it began.
    Error Take(jvmtiEnv* jvmti, JNIEnv* jni);
    // Reads the command's text: one row per line "N: instances bytes name
    // [(module)]" and the "Total instances bytes" line, which must come and
    // agree with the rows. An error names the first line that does not read.
    Error Read(const std::string& text);

    // One row per class, in the JVM's order (bytes, largest first), its tag
    // the row number; classes without instances are not listed.
    const std::vector<HeapHistogram::Row>& Rows() const { return rows; }
    int64_t TotalInstances() const { return totalInstances; }
    int64_t TotalBytes() const { return totalBytes; }
    // The command's time: the JVM's pause and little more.
    int64_t PassMillis() const { return passMillis; }

    // The JVM's external name ("[[I", "[Ljava.lang.String;", a hidden class's
    // "p.C$$Lambda/0x1234") as a snapshot names the class ("int[][]",
    // "java.lang.String[]", "p.C$$Lambda.0x1234").
    static std::string SnapshotName(const std::string& jvmName);

private:
    CancelCheck* cancel;
    std::vector<HeapHistogram::Row> rows;
    int64_t totalInstances = 0;
    int64_t totalBytes = 0;
    int64_t passMillis = 0;
};

}  // namespace Orlo
