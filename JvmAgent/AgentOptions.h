// The agent's settings: the options string the JVM hands to Agent_OnLoad and
// the properties file it names. Read once, while the agent is constructed and
// before the log is set up, so a bad option is kept as an Error for the agent
// to report once it can.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Error.h"
#include "VeskProtocol.h"

namespace Orlo {

// How a snapshot's untag step takes the tags off the request's own JVMTI
// environment: dispose of it with all its tags at once; clear them in one
// pass over the heap, then dispose of it; or clear them with a second
// reference walk (the untag walk), then dispose of it.
enum class UntagMode { Dispose, Iterate, Walk };

struct AgentOptions {
    static constexpr int DEFAULT_PORT = Protocol::DEFAULT_PORT;
    // Longest idle limit, in seconds, whose milliseconds fit a socket wait.
    static constexpr int MAX_IDLE_SECONDS = 2147483;
    static constexpr long MAX_OOM_DUMPS = 1000;

    int port = DEFAULT_PORT;
    std::string address;  // dotted IPv4; empty: every interface
    std::string configFile;
    std::string logFile;
    int idleSeconds = 0;  // 0: no limit
    UntagMode untagMode = UntagMode::Dispose;
    bool heapDumpEnabled = true;
    std::string authFile;  // empty: no key, every client is served
    int minIntervalSeconds = 0;  // 0: pauses may follow each other at once
    int compressLevel = 1;       // zstd level for clients that ask; 0: never compress
    bool snapshotFromDump = false;  // what a SNAPSHOT without source= takes
    // Where the heap at an OutOfMemoryError is kept (oom-dump); empty: nowhere.
    std::string oomDumpDir;
    int oomDumpCount = 1;                         // captures at most, per JVM
    uint64_t oomDumpMinFree = uint64_t(1) << 30;  // bytes left free on its file system
    bool tls = false;               // clients must speak TLS keyed by authFile
    // One per refused item, naming it and its problem, in the string's order:
    // the command server does not start.
    std::vector<Error> errors;
    // One line per ignored item, naming it and why ("ignored agent option
    // 'prot=1': unknown key..."), in the string's order: reported only.
    std::vector<std::string> ignored;

    // Comma-separated key=value items: port (1 to 65535; negative for the
    // default), address (dotted IPv4; empty for every interface), cfgfile
    // (empty for the default), idle (seconds, 0 for no limit), untag
    // (dispose, iterate or walk), heapdump (on or off), auth (the key file;
    // empty for none), min-interval (seconds, 0 for none), compress-level (0,
    // off, to 19), snapshot-source (walk or dump), oom-dump (a directory),
    // oom-dump-count (1 to 1000), oom-dump-min-free (bytes, or with the
    // suffix k, m or g; the two only with oom-dump), tls (on or off; on needs
    // auth, and is an error on Windows). Empty items are skipped;
    // split at the first "="; keys are case-sensitive; a key given twice
    // takes its last value. An unknown key
    // or an item without "=" adds one line to ignored, as does a negative
    // port (which sets the default); a bad value of a known key adds one error
    // and changes nothing. Null or empty: no items. Absent settings keep
    // their defaults; the configuration file defaults to
    // <base>config<sep>veskjagent.properties when the library's path is known.
    void Parse(const char* options);
    // Reads configFile, if any: the log level (set on the logger) and the
    // log file name (default <base>logs<sep>veskjagent_%P.log). A file that
    // cannot be opened writes one line to standard error, ending in "using
    // defaults"; unknown keys and level words are ignored.
    void LoadConfig();

    // Digits only, 1 to 65535.
    static bool ParsePort(const std::string& text, int& port);
    // Decimal digits with an optional suffix k, m or g (either case: KiB,
    // MiB, GiB); false beyond 2^53.
    static bool ParseSize(const std::string& text, uint64_t& bytes);
    // Four dot-separated decimal numbers of 0 to 255, nothing else.
    static bool IsIpv4Address(const std::string& text);
};

}  // namespace Orlo
