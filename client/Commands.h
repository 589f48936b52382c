// The vesk program's subcommands. Each lives in its own Cmd*.cpp and
// registers itself with a static CommandRegistration.
#pragma once

#include <string>
#include <vector>

#include "VeskClient.h"

namespace vesk {

struct Options {
    std::string host = "127.0.0.1";
    int port = VeskClient::DEFAULT_PORT;
    bool raw = false;        // print frames as received
    int timeoutMs = 120000;  // per read; 0 waits without limit
};

// Process exit codes.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_AGENT_ERROR = 1,  // the agent answered with an error
    EXIT_USAGE = 2,
    EXIT_NOT_LISTENING = 3,
    EXIT_REJECTED = 4,
    EXIT_DROPPED = 5,  // connection dropped, timed out or garbled
    EXIT_FILE = 6,     // a local file could not be read or written, or holds no snapshot
    EXIT_CANCELLED = 130,  // Ctrl-C, as a shell reports an interrupted program
};

typedef int (*CommandFunction)(const Options& options, const std::vector<std::string>& args);

struct Command {
    const char* name;
    const char* arguments;  // shown in the usage text, e.g. "-o FILE"
    const char* summary;
    CommandFunction run;
};

struct CommandRegistration {
    explicit CommandRegistration(const Command& command);
};

// Registered commands, sorted by name.
std::vector<Command> AllCommands();

// Shared by the commands.
VeskClient ConnectClient(const Options& options);
// Connects, sends the request and returns its frames; prints them with --raw.
std::vector<Frame> RunRequest(const Options& options, const std::string& request);
// The first error any frame reports; false when all succeeded.
bool FirstError(const std::vector<Frame>& frames, std::string* message);
// Prints "vesk: message" on stderr and returns code.
int Fail(int code, const std::string& message);
// Fail with EXIT_USAGE, pointing at --help.
int UsageError(const std::string& message);
// The exit code and message for a client error.
int Fail(const ClientError& error);

}  // namespace vesk
