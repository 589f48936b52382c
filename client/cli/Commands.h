// The vesk program's subcommands. Each lives in its own Cmd*.cpp and
// registers itself with a static CommandRegistration; vesk.cpp gives each one
// a CLI11 subcommand, parses the command line and runs the chosen command.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/VeskClient.h"

namespace vesk {

struct Options {
    std::string host = "127.0.0.1";
    int port = VeskClient::DEFAULT_PORT;
    bool raw = false;        // print frames as received
    int timeoutMs = 120000;  // per read; 0 waits without limit
    bool portGiven = false;  // --port was on the command line
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

// Runs a command once the command line is parsed; returns the exit code and
// may throw ClientError (vesk.cpp turns it into the exit code).
typedef std::function<int(const Options& options)> CommandRun;
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
    CommandRegistration(const char* name, const char* summary, int (*run)(const Options& options));
};

// Registered commands, sorted by name.
std::vector<Command> AllCommands();

// Shared by the commands.
// Checks an option's text is a decimal integer in [low, high]; CLI11's own
// conversion would also take "0x10" and "010" (octal).
CLI::Validator DecimalRange(long low, long high);
// Rejects an empty value.
extern const CLI::Validator NonEmpty;
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
