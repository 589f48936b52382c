// vesk gc: forces a garbage collection in the JVM.
#include <cstdio>

#include "cli/Commands.h"

namespace vesk {

static void RunGc(const Options& options) {
    RunRequest(options, VeskClient::BuildRequest({"PERFORM_GC"}));
    if (!options.raw) printf("garbage collection done\n");
}

static CommandRegistration registration("gc", "force a garbage collection", RunGc);

}  // namespace vesk
