// The vesk program's subcommands. Each lives in its own Cmd*.cpp and
// registers itself with a static CommandRegistration; vesk.cpp gives each one
// a CLI11 subcommand, parses the command line and runs the chosen command.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "explore/ExploreApi.h"
#include "load/HeapInput.h"
#include "protocol/VeskClient.h"

namespace vesk {

struct Options {
    std::string host = "127.0.0.1";
    int port = VeskClient::DEFAULT_PORT;
    bool raw = false;        // print frames as received
    int timeoutMs = 120000;  // per read; 0 waits without limit
    bool portGiven = false;  // --port was on the command line
    bool timeoutGiven = false;  // --timeout was on the command line
    bool noIndex = false;    // neither read nor write a file's index
    bool indexInCache = false;  // VESK_INDEX=cache: write indexes in the cache directory, not beside files
    bool compress = true;    // ask the agent for SNAPSHOT and HEAPDUMP answers in zstd
    bool walk = false;       // a live snapshot by the heap walk, not from the JVM's heap dump
    bool snapshot = false;   // a live heap by SNAPSHOT, not HEAPDUMP
    int pid = 0;             // --pid: the JVM's process; 0 when not given
    std::string authFile;       // --auth or VESK_AUTH: the agent's key; empty: none
    bool tls = false;           // --tls: TLS or nothing (vesk attach: start the agent with tls=on)
    bool noTls = false;         // --no-tls: never try TLS
};

// Process exit statuses, listed in vesk --help.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_AGENT_ERROR = 1,  // the agent answered with an error
    EXIT_GROWTH = 1,       // vesk diff --fail-above: the heap grew beyond the limit
    EXIT_USAGE = 2,
    EXIT_NOT_LISTENING = 3,
    EXIT_REJECTED = 4,
    EXIT_DROPPED = 5,  // connection dropped, timed out or garbled
    EXIT_FILE = 6,     // a local file could not be read or written, or holds no snapshot
    EXIT_OUT_OF_MEMORY = 7,  // std::bad_alloc or std::length_error, most likely on a large heap
    EXIT_FAULT = 8,          // any other exception: a fault in vesk itself
    EXIT_NO_PROCESS = 9,     // vesk attach: no such process, or not a JVM
    EXIT_ATTACH = 10,        // vesk attach: the JVM refused, did not answer, or could not load the agent
    EXIT_AUTH = 11,          // the agent requires a key, refused the one given, or refuses this address
    EXIT_CANCELLED = 130,    // Ctrl-C, as a shell reports an interrupted program
};

// Runs a command once the command line is parsed. A failure is thrown as a
// ClientError; vesk.cpp prints it and exits with its kind's status.
typedef std::function<void(const Options& options)> CommandRun;
// Declares the command's positionals and options on its subcommand, bound to
// state that the returned CommandRun captures. Called once, before parsing.
typedef std::function<CommandRun(CLI::App& command)> CommandDefinition;

struct Command {
    const char* name;
    const char* summary;  // one line, in vesk --help and atop vesk NAME --help
    CommandDefinition define;
};

struct CommandRegistration {
    CommandRegistration(const char* name, const char* summary, CommandDefinition define);
    // A command without positionals or options of its own.
    CommandRegistration(const char* name, const char* summary, void (*run)(const Options& options));
};

// Registered commands, sorted by name.
std::vector<Command> AllCommands();

// Shared by the commands.
// How an analysis command takes the live heap, for its --help.
#define LIVE_ROUTE "its heap dump, a short pause; --snapshot: a snapshot"
// Checks an option's text is a decimal integer in [low, high]; CLI11's own
// conversion would also take "0x10" and "010" (octal).
CLI::Validator DecimalRange(long low, long high);
// Rejects an empty value.
extern const CLI::Validator NonEmpty;
// -n N (1 to limit), --json and --bytes, as every command that prints rows takes them.
void AddRowOptions(CLI::App& command, size_t& count, const std::string& countHelp, bool& json, bool& bytes,
                   long limit = 100000000);
// For a command that asks the explorer one call about one object (vesk
// object, vesk children): opens FILE, or with --port the live heap (a lone
// positional then being TAG), asks path with query and TAG as "tag", and
// with json prints the document. Returns it; a refusal (an unknown tag, a
// bad argument) throws Usage with its message.
std::string AskExplorer(const Options& options, std::string file, std::string tag, const std::string& command,
                        const std::string& path, std::map<std::string, std::string> query, bool json);
// Connects and, with a key (--auth), authenticates; with auth given, also
// without a key, asks the agent how it is secured (AUTH). A key file that
// cannot be read or is not private throws File.
VeskClient ConnectClient(const Options& options, AuthOutcome* auth = nullptr);
// Connects (ConnectClient), sends the request and returns its frames;
// prints them with --raw. Throws AgentReported with the first error a frame
// reports, but for "Unknown command: EXTENSION" (an agent older than that
// extension, which answers the commands before it).
std::vector<Frame> RunRequest(const Options& options, const std::string& request, AuthOutcome* auth = nullptr,
                              const char* extension = nullptr);
// vesk dump: saves the live JVM's redacted HPROF to path (FILE.zst: as zstd).
void SaveHeapDump(const Options& options, const std::string& path);
// vesk snapshot: saves a snapshot's stream to path (FILE.zst: as zstd); with
// path empty, prints its summary instead.
void SaveSnapshot(const Options& options, std::string path);
// True for a FILE ending in ".zst": the bytes saved there are zstd.
bool IsZstdName(const std::string& path);
// The size of the file saved at path as on disk, and beside it, for a
// compressed one, what it decodes to: "88.4 MiB (decoded: 1.9 GiB)".
std::string SavedSize(const std::string& path, uint64_t decoded);
// What an analysis command's input (load/HeapInput) takes of the options.
InputSettings InputOf(const Options& options);
// The exit status for an error of this kind.
int ExitStatus(ErrorKind kind);

}  // namespace vesk
