// vesk raw: sends a request as given and prints the frames as received.
#include "Commands.h"

namespace vesk {

static int RunRaw(const Options& options, const std::vector<std::string>& args) {
    if (args.size() != 1) return UsageError("raw takes one request, e.g. '<vesk-cmd tag=\"1\"><cmd name=\"RUNTIME\"/></vesk-cmd>'");
    if (args[0].size() > VeskClient::MAX_REQUEST)
        return UsageError("a request holds at most " + std::to_string(VeskClient::MAX_REQUEST) + " bytes");
    Options raw = options;
    raw.raw = true;
    std::vector<Frame> frames = RunRequest(raw, args[0]);
    std::string error;
    if (FirstError(frames, &error)) return Fail(EXIT_AGENT_ERROR, "the agent reported: " + error);
    return EXIT_OK;
}

static CommandRegistration registration({"raw", "'<vesk-cmd ...>'", "send a request and print the frames as received", RunRaw});

}  // namespace vesk
