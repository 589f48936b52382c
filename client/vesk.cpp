// vesk: command-line client of the heap-snapshot agent.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"

using namespace vesk;

static void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: vesk [--host HOST] [--port PORT] [--raw] [--timeout SECONDS] COMMAND [ARGS]\n"
            "\n"
            "  --host HOST        agent host (default 127.0.0.1)\n"
            "  --port PORT        agent port (default %d)\n"
            "  --raw              print the response frames as received\n"
            "  --timeout SECONDS  wait at most this long for each response (default 120, 0 = no limit)\n"
            "\ncommands:\n",
            VeskClient::DEFAULT_PORT);
    for (const Command& command : AllCommands()) {
        std::string head = std::string(command.name) + (*command.arguments ? " " : "") + command.arguments;
        fprintf(out, "  %-22s %s\n", head.c_str(), command.summary);
    }
    fprintf(out,
            "\nexit status: 0 success, 1 the agent reported an error, 2 usage, 3 nothing listening,\n"
            "4 rejected (another client is connected), 5 connection dropped or timed out\n");
}

static bool ParseNumber(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    long n = strtol(text, &end, 10);
    if (!*text || *end || n < low || n > high) return false;
    *value = static_cast<int>(n);
    return true;
}

int main(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        int seconds = 0;
        if (option == "--help" || option == "-h") {
            PrintUsage(stdout);
            return EXIT_OK;
        } else if (option == "--raw") {
            options.raw = true;
        } else if (option == "--host" && hasValue) {
            options.host = argv[++i];
        } else if (option == "--port" && hasValue) {
            if (!ParseNumber(argv[++i], 1, 65535, &options.port))
                return Fail(EXIT_USAGE, std::string("bad port: ") + argv[i]);
        } else if (option == "--timeout" && hasValue) {
            if (!ParseNumber(argv[++i], 0, 24 * 3600, &seconds))
                return Fail(EXIT_USAGE, std::string("bad timeout: ") + argv[i]);
            options.timeoutMs = seconds * 1000;
        } else {
            PrintUsage(stderr);
            return Fail(EXIT_USAGE, "unknown or incomplete option: " + option);
        }
    }
    if (i >= argc) {
        PrintUsage(stderr);
        return Fail(EXIT_USAGE, "no command given");
    }
    std::string name = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    for (const Command& command : AllCommands()) {
        if (name != command.name) continue;
        try {
            return command.run(options, args);
        } catch (const ClientError& error) {
            return Fail(error);
        }
    }
    PrintUsage(stderr);
    return Fail(EXIT_USAGE, "unknown command: " + name);
}
