#include "AgentOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FrameCompressor.h"
#include "Orlo.h"
#include "VeskLogger.h"

namespace Orlo {

namespace {

// Splits "key = value" of a configuration line; false for comments and
// lines without "=".
bool SplitConfigLine(const char* line, std::string& key, std::string& value) {
    while (isspace(static_cast<unsigned char>(*line))) ++line;
    if (*line == '\0' || *line == '#' || *line == ';' || *line == '!') return false;
    const char* equals = strchr(line, '=');
    if (!equals) return false;
    const char* keyEnd = equals;
    while (keyEnd > line && isspace(static_cast<unsigned char>(keyEnd[-1]))) --keyEnd;
    const char* valueStart = equals + 1;
    while (isspace(static_cast<unsigned char>(*valueStart))) ++valueStart;
    const char* valueEnd = valueStart + strlen(valueStart);
    while (valueEnd > valueStart && isspace(static_cast<unsigned char>(valueEnd[-1]))) --valueEnd;
    key.assign(line, keyEnd);
    value.assign(valueStart, valueEnd);
    return true;
}

// A decimal number of at most max, digits only (no sign, no blanks).
bool ParseDecimal(const std::string& text, long max, long& number) {
    if (text.empty() || text.size() > 10) return false;
    number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    return number <= max;
}

// "-" and decimal digits, not all zero: any such port means the default.
bool IsNegativeNumber(const std::string& text) {
    return text.size() > 1 && text[0] == '-' && text.find_first_not_of("0123456789", 1) == std::string::npos &&
           text.find_first_not_of('0', 1) != std::string::npos;
}

bool ParseUntagMode(const std::string& value, UntagMode& mode) {
    static const struct {
        const char* name;
        UntagMode mode;
    } modes[] = {{"dispose", UntagMode::Dispose}, {"iterate", UntagMode::Iterate}, {"walk", UntagMode::Walk}};
    for (const auto& known : modes) {
        if (value == known.name) {
            mode = known.mode;
            return true;
        }
    }
    return false;
}

bool ParseLogLevel(const std::string& value, LogLevel& level) {
    static const char* const names[] = {"ERROR", "INFO", "DEBUG", "TRACE"};
    for (int i = 0; i < 4; ++i) {
        if (value == names[i]) {
            level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

}  // namespace

bool AgentOptions::ParsePort(const std::string& text, int& port) {
    long number = 0;
    if (!ParseDecimal(text, 65535, number) || number == 0) return false;
    port = static_cast<int>(number);
    return true;
}

bool AgentOptions::ParseSize(const std::string& text, uint64_t& bytes) {
    std::string digits = text;
    int shift = 0;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'k': case 'K': shift = 10; break;
            case 'm': case 'M': shift = 20; break;
            case 'g': case 'G': shift = 30; break;
        }
        if (shift) digits.pop_back();
    }
    if (digits.empty() || digits.size() > 16 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t number = std::stoull(digits);
    if (number > (uint64_t(1) << (53 - shift))) return false;
    bytes = number << shift;
    return true;
}

bool AgentOptions::IsIpv4Address(const std::string& text) {
    size_t start = 0;
    for (int part = 0; part < 4; part++) {
        size_t end = text.find('.', start);
        if ((end == std::string::npos) != (part == 3)) return false;
        if (end == std::string::npos) end = text.size();
        long number = 0;
        if (end - start > 3 || !ParseDecimal(text.substr(start, end - start), 255, number)) return false;
        start = end + 1;
    }
    return true;
}

void AgentOptions::Parse(const char* options) {
    std::string items(options ? options : "");
    std::string oomTuning;  // the last oom-dump-count or oom-dump-min-free item
    size_t start = 0;
    while (start < items.size()) {
        size_t end = items.find(',', start);
        if (end == std::string::npos) end = items.size();
        std::string item = items.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals);
        std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const char* problem = nullptr;
        const char* ignoredWhy = nullptr;
        long number = 0;
        if (equals == std::string::npos) {
            ignoredWhy = "not a key=value item";
        } else if (key == "port") {
            if (IsNegativeNumber(value)) {
                port = DEFAULT_PORT;
                ignoredWhy = "a negative port means the default, 16400";
            } else if (!ParsePort(value, port)) {
                problem = "not a port number from 1 to 65535";
            }
        } else if (key == "address") {
            if (value.empty() || IsIpv4Address(value))
                address = value;
            else
                problem = "not a dotted IPv4 address such as 127.0.0.1";
        } else if (key == "cfgfile") {
            configFile = value;
        } else if (key == "idle") {
            if (ParseDecimal(value, MAX_IDLE_SECONDS, number))
                idleSeconds = static_cast<int>(number);
            else
                problem = "not a number of seconds from 0 to 2147483";
        } else if (key == "untag") {
            if (!ParseUntagMode(value, untagMode)) problem = "not dispose, iterate or walk";
        } else if (key == "heapdump") {
            if (value == "on" || value == "off")
                heapDumpEnabled = value == "on";
            else
                problem = "not on or off";
        } else if (key == "auth") {
            authFile = value;
        } else if (key == "min-interval") {
            if (ParseDecimal(value, MAX_IDLE_SECONDS, number))
                minIntervalSeconds = static_cast<int>(number);
            else
                problem = "not a number of seconds from 0 to 2147483";
        } else if (key == "tls") {
            if (value == "on" || value == "off")
                tls = value == "on";
            else
                problem = "not on or off";
        } else if (key == "snapshot-source") {
            if (value == "walk" || value == "dump")
                snapshotFromDump = value == "dump";
            else
                problem = "not walk or dump";
        } else if (key == "compress-level") {
            if (ParseDecimal(value, FrameCompressor::MAX_LEVEL, number))
                compressLevel = static_cast<int>(number);
            else
                problem = "not a zstd level from 0 (no compression) to 19";
        } else if (key == "oom-dump") {
            if (value.empty())
                problem = "not a directory";
            else
                oomDumpDir = value;
        } else if (key == "oom-dump-count") {
            if (ParseDecimal(value, MAX_OOM_DUMPS, number) && number > 0) {
                oomDumpCount = static_cast<int>(number);
                oomTuning = item;
            } else {
                problem = "not a number of captures from 1 to 1000";
            }
        } else if (key == "oom-dump-min-free") {
            if (ParseSize(value, oomDumpMinFree))
                oomTuning = item;
            else
                problem = "not a size such as 1g, 500m or 1048576";
        } else {
            ignoredWhy = "unknown key";
        }
        if (problem) errors.push_back(Error("Invalid JVM Agent option '" + item + "': " + problem));
        if (ignoredWhy) ignored.push_back("ignored agent option '" + item + "': " + ignoredWhy);
    }
    if (oomDumpDir.empty() && !oomTuning.empty())
        ignored.push_back("ignored agent option '" + oomTuning + "': no oom-dump=DIR to apply it to");
#ifdef _WIN32
    if (tls) errors.push_back(Error("Invalid JVM Agent option 'tls=on': TLS is not available on Windows; use auth=FILE alone"));
#else
    if (tls && authFile.empty()) errors.push_back(Error("Invalid JVM Agent option 'tls=on': it needs auth=FILE, whose key it uses"));
#endif
    if (configFile.empty() && libraryPath[0] != '\0')
        configFile = baseDir + "config" + fileSep + "veskjagent.properties";
}

void AgentOptions::LoadConfig() {
    if (!configFile.empty()) {
        UniqueFile file(fopen(configFile.c_str(), "r"));
        if (!file) {
            int err = errno;
            fprintf(stderr, "Failed to open JVM Agent config file '%s', errno=%d (%s), using defaults\n",
                    configFile.c_str(), err, strerror(err));
        } else {
            char line[1024];
            std::string key, value;
            LogLevel level;
            while (fgets(line, sizeof line, file.get())) {
                if (!SplitConfigLine(line, key, value)) continue;
                if (key == "vesk.agent.log.level") {
                    if (ParseLogLevel(value, level)) VeskLogger::SetLogLevel(level);
                } else if (key == "vesk.agent.log.file") {
                    logFile = value;
                }
            }
        }
    }
    if (logFile.empty()) logFile = baseDir + "logs" + fileSep + "veskjagent_%P.log";
}

}  // namespace Orlo
