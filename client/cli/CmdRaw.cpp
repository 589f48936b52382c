// vesk raw: sends a request as given and prints the frames as received.
#include "cli/Commands.h"

namespace vesk {

static void RunRaw(const Options& options, const std::string& request) {
    Options raw = options;
    raw.raw = true;
    RunRequest(raw, request);
}

static CommandRun DefineRaw(CLI::App& command) {
    auto request = std::make_shared<std::string>();
    command.add_option("REQUEST", *request, "e.g. '<vesk-cmd tag=\"1\"><cmd name=\"RUNTIME\"/></vesk-cmd>'")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                if (text.size() <= VeskClient::MAX_REQUEST) return "";
                return "a request holds at most " + std::to_string(VeskClient::MAX_REQUEST) + " bytes";
            },
            ""));
    return [request](const Options& options) { return RunRaw(options, *request); };
}

static CommandRegistration registration("raw", "send a request and print the frames as received", DefineRaw);

}  // namespace vesk
