// vesk runtime: processors, heap totals, class and thread counts.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "cli/Commands.h"

namespace vesk {

static std::string Describe(const Prop& prop) {
    int64_t value = strtoll(prop.value.c_str(), nullptr, 10);
    char text[96];
    if (prop.name.find("heap") != std::string::npos) {
        snprintf(text, sizeof text, "%s (%.1f MiB)", prop.value.c_str(), value / 1048576.0);
    } else if (prop.name == "rt-time") {
        time_t seconds = static_cast<time_t>(value / 1000);
        tm local{};
        localtime_r(&seconds, &local);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
        snprintf(text, sizeof text, "%s.%03d (%s)", when, static_cast<int>(value % 1000), prop.value.c_str());
    } else {
        return prop.value;
    }
    return text;
}

static void RunRuntime(const Options& options) {
    AuthOutcome auth;
    std::vector<Frame> frames =
        RunRequest(options, VeskClient::BuildRequest({"RUNTIME"}), options.raw ? nullptr : &auth);
    if (options.raw) return;
    std::vector<Prop> props = CommandProps(frames.front().Body(), "RUNTIME");
    size_t width = 0;
    for (const Prop& prop : props) width = std::max(width, prop.name.size());
    for (const Prop& prop : props)
        printf("%-*s  %s\n", static_cast<int>(width), prop.name.c_str(), Describe(prop).c_str());
    // Every 127.x.x.x address is the loopback interface.
    if (!auth.keyed && !auth.listen.empty() && auth.listen.rfind("127.", 0) != 0)
        printf("warning: unauthenticated, listening on %s; give the agent address=127.0.0.1 or auth=FILE\n",
               auth.listen.c_str());
}

static CommandRegistration registration("runtime", "processors, heap totals, classes and threads", RunRuntime);

}  // namespace vesk
