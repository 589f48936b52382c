#include "VeskLogger.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

#include "JvmAgent.h"
#include "Orlo.h"
#include "TimeStamp.h"

namespace Orlo {

LogLevel VeskLogger::eLogLevel = LOG_ERROR;
std::string VeskLogger::strLogFileName;
FILE* VeskLogger::pLogFile = nullptr;

namespace {

// Whole lines are written under one lock so threads never interleave.
#ifdef _WIN32
SRWLOCK logLock = SRWLOCK_INIT;
struct LineLock {
    LineLock() { AcquireSRWLockExclusive(&logLock); }
    ~LineLock() { ReleaseSRWLockExclusive(&logLock); }
};
int ProcessId() { return _getpid(); }
void LocalTime(time_t t, tm* out) { localtime_s(out, &t); }
#else
pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;
struct LineLock {
    LineLock() { pthread_mutex_lock(&logLock); }
    ~LineLock() { pthread_mutex_unlock(&logLock); }
};
int ProcessId() { return static_cast<int>(getpid()); }
void LocalTime(time_t t, tm* out) { localtime_r(&t, out); }
#endif

void ReplaceFirst(std::string& text, const char* pattern, const std::string& with) {
    size_t at = text.find(pattern);
    if (at != std::string::npos) text.replace(at, strlen(pattern), with);
}

}  // namespace

void VeskLogger::SetLogFile(const char* name) {
    strLogFileName = name ? name : "";
    ReplaceFirst(strLogFileName, "%P", std::to_string(ProcessId()));
    ReplaceFirst(strLogFileName, "${vesk.base}", baseDir);
}

void VeskLogger::OpenLogFile() {
    if (pLogFile) return;
    pLogFile = stderr;
    if (strLogFileName.empty()) return;
    FILE* file = fopen(strLogFileName.c_str(), "w");
    if (file) {
        pLogFile = file;
        return;
    }
    int err = errno;
    WriteLine("ERROR", "Failed to open %s, errno=%d (%s), using stderr", strLogFileName.c_str(),
              err, strerror(err));
}

void VeskLogger::CloseLogFile() {
    LineLock lock;
    if (pLogFile && pLogFile != stderr) fclose(pLogFile);
    pLogFile = nullptr;
}

void VeskLogger::WriteMsg(const char* levelName, const char* fmt, va_list args) {
    LineLock lock;
    OpenLogFile();
    WritePrefix(levelName);
    vfprintf(pLogFile, fmt, args);
    fputc('\n', pLogFile);
    fflush(pLogFile);
}

void VeskLogger::WriteLine(const char* levelName, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    WritePrefix(levelName);
    vfprintf(pLogFile, fmt, args);
    va_end(args);
    fputc('\n', pLogFile);
    fflush(pLogFile);
}

void VeskLogger::WritePrefix(const char* levelName) {
    TimeStamp now;
    now.Now();
    // Same text as ctime()'s first 19 characters, without its shared buffer
    // and independent of the process's locale.
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    LocalTime(static_cast<time_t>(now.seconds), &local);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%.3s %.3s%3d %.2d:%.2d:%.2d", days[local.tm_wday % 7],
             months[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec);
    fprintf(pLogFile, "%.19s.%03hu [%s]: ", stamp, static_cast<unsigned short>(now.millis),
            levelName);
}

void VeskLogger::LogTrace(const char* fmt, ...) {
    if (!IsTraceLevel()) return;
    va_list args;
    va_start(args, fmt);
    WriteMsg("TRACE", fmt, args);
    va_end(args);
}

void VeskLogger::LogDebug(const char* fmt, ...) {
    if (!IsDebugLevel()) return;
    va_list args;
    va_start(args, fmt);
    WriteMsg("DEBUG", fmt, args);
    va_end(args);
}

void VeskLogger::LogInfo(const char* fmt, ...) {
    if (!IsInfoLevel()) return;
    va_list args;
    va_start(args, fmt);
    WriteMsg("INFO", fmt, args);
    va_end(args);
}

void VeskLogger::LogError(bool fatal, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    WriteMsg(fatal ? "FATAL ERROR" : "ERROR", fmt, args);
    va_end(args);
    if (fatal && agent) agent->Disable();
}

}  // namespace Orlo
