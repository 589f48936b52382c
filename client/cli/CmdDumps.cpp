// vesk dumps: the heaps the agent kept at OutOfMemoryErrors (oom-dump=DIR),
// newest last, for vesk dump --oom --name.
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "cli/Commands.h"
#include "protocol/KeptDumps.h"

namespace vesk {

static std::string LocalTime(int64_t millis) {
    time_t seconds = static_cast<time_t>(millis / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

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
               LocalTime(capture.timeMillis).c_str(), capture.message.c_str());
}

static CommandRegistration registration("dumps", "list the heaps the agent kept at OutOfMemoryErrors (oom-dump=DIR)",
                                        RunDumps);

}  // namespace vesk
