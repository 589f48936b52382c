// vesk: command-line client of the heap-snapshot agent.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"

using namespace vesk;

static const int REJECTED_ATTEMPTS = 3;
static const int REJECTED_PAUSE_MS = 100;

static void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: vesk [OPTIONS] COMMAND [ARGS]\n"
            "\n"
            "options (before or after the command; --name=value also works):\n"
            "  --host HOST        agent host (default 127.0.0.1)\n"
            "  --port PORT        agent port (default %d)\n"
            "  --raw              print the response frames as received instead of a summary\n"
            "  --timeout SECONDS  wait at most this long for each response (default 120, 0 = no limit)\n"
            "  -h, --help         show this text\n"
            "\ncommands:\n",
            VeskClient::DEFAULT_PORT);
    for (const Command& command : AllCommands()) {
        std::string head = std::string(command.name) + (*command.arguments ? " " : "") + command.arguments;
        fprintf(out, "  %-22s %s\n", head.c_str(), command.summary);
    }
    fprintf(out,
            "\nexit status:\n"
            "  0    success\n"
            "  1    the agent reported an error\n"
            "  2    usage error\n"
            "  3    nothing listening at HOST:PORT\n"
            "  4    rejected: the agent serves another client\n"
            "  5    connection dropped, timed out, or not the agent's protocol\n"
            "  6    a local file could not be read or written, or holds no snapshot\n"
            "  130  cancelled with Ctrl-C\n");
}

static bool ParseNumber(const std::string& text, int low, int high, int* value) {
    char* end = nullptr;
    long n = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || n < low || n > high) return false;
    *value = static_cast<int>(n);
    return true;
}

int main(int argc, char** argv) {
    Options options;
    std::string name;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::string option = argv[i];
        bool isOption = option.rfind("--", 0) == 0 || option == "-h" || (name.empty() && option[0] == '-');
        if (!isOption) {
            if (name.empty()) name = option;
            else args.push_back(option);
            continue;
        }
        std::string value;
        bool hasValue = false;
        size_t equals = option.find('=');
        if (equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.erase(equals);
            hasValue = true;
        }
        bool takesValue = option == "--host" || option == "--port" || option == "--timeout";
        if (takesValue && !hasValue) {
            if (i + 1 >= argc) return UsageError(option + " needs a value");
            value = argv[++i];
        } else if (!takesValue && hasValue) {
            return UsageError(option + " takes no value");
        }
        int seconds = 0;
        if (option == "--help" || option == "-h") {
            PrintUsage(stdout);
            return EXIT_OK;
        } else if (option == "--raw") {
            options.raw = true;
        } else if (option == "--host") {
            if (value.empty()) return UsageError("empty host");
            options.host = value;
        } else if (option == "--port") {
            if (!ParseNumber(value, 1, 65535, &options.port)) return UsageError("bad port: " + value);
        } else if (option == "--timeout") {
            if (!ParseNumber(value, 0, 24 * 3600, &seconds)) return UsageError("bad timeout: " + value);
            options.timeoutMs = seconds * 1000;
        } else {
            return UsageError("unknown option: " + option);
        }
    }
    if (name.empty()) {
        PrintUsage(stderr);
        return Fail(EXIT_USAGE, "no command given");
    }
    for (const Command& command : AllCommands()) {
        if (name != command.name) continue;
        // The agent lets a client that has just closed go a moment after the
        // close, and rejects a successor that comes sooner (as in a script
        // running vesk twice): try again. A rejected request never ran; the
        // agent takes the next connection a second after a rejection.
        for (int attempt = 1;; attempt++) {
            try {
                return command.run(options, args);
            } catch (const ClientError& error) {
                if (error.Kind() != ErrorKind::Rejected || attempt == REJECTED_ATTEMPTS) return Fail(error);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(REJECTED_PAUSE_MS));
        }
    }
    return UsageError("unknown command: " + name);
}
