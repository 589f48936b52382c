#include "JvmClassHistogram.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "JvmManagement.h"
#include "OrloUtils.h"
#include "VeskLogger.h"
#include "VeskProtocol.h"

namespace Orlo {

namespace {

const char TOTAL_WORD[] = "Total";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

const char* SkipBlanks(const char* at) {
    while (IsBlank(*at)) at++;
    return at;
}

// A non-negative decimal at at, blanks before it skipped; false when none.
bool ReadCount(const char*& at, int64_t& value) {
    at = SkipBlanks(at);
    if (*at < '0' || *at > '9') return false;
    char* end = nullptr;
    errno = 0;
    long long read = strtoll(at, &end, 10);
    if (errno != 0 || read < 0) return false;
    value = read;
    at = end;
    return true;
}

// The word at at up to a blank or the line's end.
std::string ReadWord(const char*& at, const char* lineEnd) {
    at = SkipBlanks(at);
    const char* start = at;
    while (at < lineEnd && !IsBlank(*at)) at++;
    return std::string(start, at);
}

}  // namespace

Error JvmClassHistogram::Take(jvmtiEnv* jvmti, JNIEnv* jni) {
    if (cancel && cancel->Cancelled()) return Error(Protocol::CANCELLED_MESSAGE);
    std::string text;
    auto start = std::chrono::steady_clock::now();
    Error error = JvmManagement::Execute(jvmti, jni, COMMAND, text);
    passMillis =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (error) return error;
    if ((error = Read(text))) return error;
    VeskLogger::LogDebug("Histogram from the JVM: classes=%zu, objects=%" PRId64 ", bytes=%" PRId64
                         ", pass.msec=%" PRId64,
                         rows.size(), totalInstances, totalBytes, passMillis);
    return Error();
}

Error JvmClassHistogram::Read(const std::string& text) {
    rows.clear();
    totalInstances = totalBytes = 0;
    int64_t rowInstances = 0, rowBytes = 0;
    bool totalSeen = false;
    int lineNumber = 0;
    for (const char* line = text.c_str(); *line && !totalSeen;) {
        const char* lineEnd = strchr(line, '\n');
        if (!lineEnd) lineEnd = line + strlen(line);
        lineNumber++;
        const char* at = SkipBlanks(line);
        int64_t number = 0;
        HeapHistogram::Row row;
        if (strncmp(at, TOTAL_WORD, sizeof TOTAL_WORD - 1) == 0) {
            at += sizeof TOTAL_WORD - 1;
            if (!ReadCount(at, totalInstances) || !ReadCount(at, totalBytes))
                return Error::Format("the JVM's histogram has an unreadable total on line %d", lineNumber);
            totalSeen = true;
        } else if (ReadCount(at, number) && *at == ':') {
            at++;
            std::string name;
            if (!ReadCount(at, row.instances) || !ReadCount(at, row.bytes) || (name = ReadWord(at, lineEnd)).empty())
                return Error::Format("the JVM's histogram has an unreadable row on line %d", lineNumber);
            row.tag = static_cast<jlong>(rows.size()) + 1;
            row.name = SnapshotName(name);
            rowInstances += row.instances;
            rowBytes += row.bytes;
            rows.push_back(std::move(row));
        }
        // Anything else is the heading and its rule.
        line = *lineEnd ? lineEnd + 1 : lineEnd;
    }
    if (!totalSeen) return Error("the JVM's histogram has no total");
    if (rows.empty() || rowInstances != totalInstances || rowBytes != totalBytes)
        return Error::Format("the JVM's histogram's rows (%" PRId64 " objects, %" PRId64
                             " bytes) do not add up to its total",
                             rowInstances, rowBytes);
    return Error();
}

std::string JvmClassHistogram::SnapshotName(const std::string& jvmName) {
    std::string name;
    if (!jvmName.empty() && jvmName[0] == '[') return OrloUtils::DeriveTypeFromJvmSignature(jvmName.c_str(), name);
    return OrloUtils::DeriveTypeFromJvmSignature(("L" + jvmName + ";").c_str(), name);
}

}  // namespace Orlo
