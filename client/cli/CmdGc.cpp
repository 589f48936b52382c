// vesk gc: forces a garbage collection in the JVM.
#include <cstdio>

#include "cli/Commands.h"

namespace vesk {

static int RunGc(const Options& options) {
    std::vector<Frame> frames = RunRequest(options, VeskClient::BuildRequest({"PERFORM_GC"}));
    std::string error;
    if (FirstError(frames, &error)) return Fail(EXIT_AGENT_ERROR, "the agent reported: " + error);
    if (!options.raw) printf("garbage collection done\n");
    return EXIT_OK;
}

static CommandRegistration registration("gc", "force a garbage collection", RunGc);

}  // namespace vesk
