// vesk dumps: the heaps the agent kept at OutOfMemoryErrors (oom-dump=DIR),
// newest last, for vesk dump --oom --name.
#include <cinttypes>
#include <cstdio>

#include "base/LocalTime.h"
#include "cli/Commands.h"
#include "protocol/KeptDumps.h"

namespace vesk {

static void RunDumps(const Options& options) {
    VeskClient client = ConnectClient(options);
    KeptCaptures kept = RequestKeptCaptures(client);
    if (!kept.armed) {
        printf("the agent keeps no heaps at OutOfMemoryErrors: start it with oom-dump=DIR\n");
        return;
    }
    printf("%s: %zu kept, %" PRIu64 " OutOfMemoryError%s of the Java heap seen\n", kept.directory.c_str(),
           kept.captures.size(), kept.events, kept.events == 1 ? "" : "s");
    if (kept.captures.empty()) return;
    printf("%-40s %12s  %-19s  %s\n", "name", "MiB", "time", "message");
    for (const KeptCapture& capture : kept.captures)
        printf("%-40s %12.1f  %-19s  %s\n", capture.name.c_str(), capture.size / 1048576.0,
               LocalTimeText(capture.timeMillis).c_str(), capture.message.c_str());
}

static CommandRegistration registration("dumps", "list the heaps the agent kept at OutOfMemoryErrors (oom-dump=DIR)",
                                        RunDumps);

}  // namespace vesk
