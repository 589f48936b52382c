// The agent's one log: level-filtered, time-stamped lines to a file or stderr.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__) && !defined(_WIN32)
#define VESK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define VESK_PRINTF(f, a)
#endif

namespace Orlo {

enum LogLevel : int { LOG_ERROR = 0, LOG_INFO = 1, LOG_DEBUG = 2, LOG_TRACE = 3 };

class VeskLogger {
public:
    static void SetLogLevel(LogLevel level) { eLogLevel = level; }
    static LogLevel GetLogLevel() { return eLogLevel; }
    // Expands the first "%P" (pid), then the first "${vesk.base}" (baseDir).
    static void SetLogFile(const char* name);
    static const std::string& GetLogFileName() { return strLogFileName; }
    // Closes the stream; the next line opens the current file name again.
    static void CloseLogFile();

    static bool IsInfoLevel() { return eLogLevel > LOG_ERROR; }
    static bool IsDebugLevel() { return eLogLevel > LOG_INFO; }
    static bool IsTraceLevel() { return eLogLevel > LOG_DEBUG; }

    static void LogTrace(const char* fmt, ...) VESK_PRINTF(1, 2);
    static void LogDebug(const char* fmt, ...) VESK_PRINTF(1, 2);
    static void LogInfo(const char* fmt, ...) VESK_PRINTF(1, 2);
    // A fatal error also disables the agent for good.
    static void LogError(bool fatal, const char* fmt, ...) VESK_PRINTF(2, 3);

private:
    static void OpenLogFile();
    static void WriteMsg(const char* levelName, const char* fmt, va_list args);
    // Callers hold the line lock and have opened the stream.
    static void WritePrefix(const char* levelName);
    static void WriteLine(const char* levelName, const char* fmt, ...) VESK_PRINTF(2, 3);

    static LogLevel eLogLevel;
    static std::string strLogFileName;
    static FILE* pLogFile;
};

}  // namespace Orlo
