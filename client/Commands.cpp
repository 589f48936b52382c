#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace vesk {

static std::vector<Command>& Registry() {
    static std::vector<Command> commands;
    return commands;
}

CommandRegistration::CommandRegistration(const Command& command) { Registry().push_back(command); }

std::vector<Command> AllCommands() {
    std::vector<Command> commands = Registry();
    std::sort(commands.begin(), commands.end(),
              [](const Command& a, const Command& b) { return strcmp(a.name, b.name) < 0; });
    return commands;
}

VeskClient ConnectClient(const Options& options) {
    VeskClient client;
    client.Connect(options.host, options.port);
    client.SetReadTimeout(options.timeoutMs);
    return client;
}

std::vector<Frame> RunRequest(const Options& options, const std::string& request) {
    VeskClient client = ConnectClient(options);
    client.Send(request);
    std::vector<Frame> frames;
    client.ReadResponse([&](const Frame& frame) {
        if (options.raw) fwrite(frame.bytes.data(), 1, frame.bytes.size(), stdout);
        frames.push_back(frame);
    });
    return frames;
}

bool FirstError(const std::vector<Frame>& frames, std::string* message) {
    for (const Frame& frame : frames)
        if (ResponseError(frame.Body(), message)) return true;
    return false;
}

int Fail(int code, const std::string& message) {
    fflush(stdout);
    std::cerr << "vesk: " << message << std::endl;
    return code;
}

int UsageError(const std::string& message) {
    return Fail(EXIT_USAGE, message + " (vesk --help shows the usage)");
}

int Fail(const ClientError& error) {
    switch (error.Kind()) {
        case ErrorKind::NotListening: return Fail(EXIT_NOT_LISTENING, error.what());
        case ErrorKind::Rejected: return Fail(EXIT_REJECTED, error.what());
        case ErrorKind::Usage: return Fail(EXIT_USAGE, error.what());
        default: return Fail(EXIT_DROPPED, error.what());
    }
}

}  // namespace vesk
